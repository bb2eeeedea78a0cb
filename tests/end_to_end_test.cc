// Packed installers run as separate processes, as a user starts them, against
// a loopback server: one row per behaviour.
#include <sys/resource.h>

#include "scenario.h"

using namespace testing_support;

namespace {

const std::string testMode = "__QZ_BOOTSTRAP_INSTALLER_UNITTEST__=";
const std::string hostile = "it's \"a\" $(touch pwned) `touch pwned`\n caf\xc3\xa9";
const std::string badCertificate = failed + "SSL peer certificate or SSH remote key was not OK" + advice;
const std::vector<std::string> cold = {"installagent.lock", "installagent/"};
const std::vector<std::string> planted = {".validatestring=ETag: \"v1\"\r",
                                          "installagent/install=printf cached > \"$AGENT_RECORD\""};
const std::string busybox = "exec busybox unzip \"$@\"";
const std::string slowUnzip = "[ \"$3\" = -d ] && { touch \"$MARK\"; sleep 10; }\n" + realUnzip;

// The installer carries the agent: no request, no cache.
Scenario offline(Scenario s) {
  s.bundledAgent = true, s.requests = {}, s.cache = {};
  return s;
}

// An offline installer whose bytes `damage` changes: it never gets past the payload.
Scenario damaged(std::string name, std::function<void(std::string&, size_t image)> damage) {
  return {.name = name, .bundledAgent = true, .prepare = [damage](const Paths& p) {
            std::string bytes = readFile(p.installer);
            damage(bytes, readFile(launcher).size());
            writeFile(p.installer, bytes, 0755);
          }, .standardError = "..." + cannotUnpack, .exitCode = 255, .requests = {}, .agentSaw = "", .cache = {}};
}

// A payload unzip that plays `body`; the agent's unzip is the real one.
Scenario payloadUnzip(std::string name, std::string body, bool works) {
  Scenario s{.name = name, .unzip = "[ \"$3\" = -d ] && { " + body + "; }\n" + realUnzip};
  if (!works) s.standardError = "..." + cannotUnpack, s.exitCode = 255, s.requests = {}, s.agentSaw = "", s.cache = {};
  return s;
}

// A planted cache that `change` makes untrustworthy: the run refuses it.
Scenario refused(std::string name, std::string offender, std::function<void(const Paths&)> change,
                 bool needsRoot = false, std::vector<std::string> cache = {".validatestring=ETag: \"v1\"\r", "installagent/install"}) {
  return {.name = name, .cacheBefore = planted, .prepare = change, .needsRoot = needsRoot,
          .standardError = "Internal Error: The install agent cache is not safe to use - " + offender +
              " belongs to another user or can be written by others.\nFailed to initialize the install agent.\nInstallation failed.\n",
          .exitCode = 255, .requests = {}, .agentSaw = "", .cache = cache};
}

// An installer setup1.run, which the installer's name matches as a pattern.
void makeNeighbour(const Paths& p) {
  makeZip(p.work + "/neighbour.zip", {{"install", "echo neighbour > \"$AGENT_RECORD\""}});
  runProcess({packer, "--agent", p.work + "/neighbour.zip", launcher, p.work + "/bundle.zip", p.work + "/setup1.run"});
}

// Packs the installer again with `options` and a bundle of 2.5 MiB.
std::function<void(const Paths&)> repack(std::vector<std::string> options) {
  return [options](const Paths& p) {
    std::string data;
    for (int i = 0; data.size() < (5u << 19); ++i) data += std::to_string(i * 7919) + "\n";
    makeZip(p.work + "/bundle.zip", {{"data", data}});
    std::vector<std::string> argv = {packer, "--agent", p.work + "/agent.zip", launcher, p.work + "/bundle.zip", p.installer};
    argv.insert(argv.begin() + 1, options.begin(), options.end());
    runProcess(argv);
  };
}

std::vector<Scenario> scenarios() {
  std::string longPath;
  for (int i = 0; i < 6; ++i) longPath += std::string(200, 'd') + "/";
  const std::string agentUrl = "http://download.orvane.example/pi_install_agent_pi_T19q7c_hostk64";
  const std::string cacheDir = "WORK/home/" + cacheRelative + "installagent";
  return {
      offline({.name = "bundled agent: every argument reaches it as it was, and the scratch goes",
       .arguments = {"--dir=/opt/a b;touch pwned", "", "$(touch pwned)", "`touch pwned`", "it's", "new\nline", "*", "a?"},
       .requests = {}, .agentSaw = "<-installbundle><SCRATCH/bundle.zip><--dir=/opt/a b;touch pwned><><$(touch pwned)><`touch pwned`><it's><new\nline><*><a?>",
       .tools = {"unzip -qq WORK/setup.run -d SCRATCH", "unzip -qq -o SCRATCH/InstallAgent.zip -d SCRATCH", "rm -rf SCRATCH"}}),
      offline({.name = "test mode: beside the executable, which stays; a scratch is still made and removed",
       .installer = "my dir/setup.run", .environment = {testMode}, .agentSaw = "<-installbundle><WORK/my dir/bundle.zip>",
       .tools = {"unzip -qq WORK/my dir/setup.run -d WORK/my dir", "unzip -qq -o WORK/my dir/InstallAgent.zip -d WORK/my dir", "rm -rf SCRATCH"}}),
      offline({.name = "test mode in a directory whose name is a pattern", .installer = "a[12]/setup.run", .environment = {testMode},
       .agentSaw = "<-installbundle><WORK/a[12]/bundle.zip>"}),
      offline({.name = "a long installer path", .installer = longPath + "setup.run"}),
      offline({.name = "an installer path that needs quoting", .installer = hostile + "/setup.run"}),
      offline({.name = "the agent's command line too long to run: reported by both", .arguments = {std::string(32760, '\'')},
       .standardError = "Failed to start the instal agent\nFailed to start the instal agent\nInstallation failed.\n",
       .exitCode = 255, .agentSaw = ""}),
      offline({.name = "installer names with [ are no patterns; UNZIP is not unzip's", .installer = "setup[12].run",
       .prepare = makeNeighbour, .environment = {"UNZIP=-p"}, .agentSaw = "<-installbundle><SCRATCH/bundle.zip><UNZIP=-p>"}),
      offline({.name = "BusyBox's unzip opens a name with [ too", .installer = "setup[12].run", .prepare = makeNeighbour, .unzip = busybox}),
      offline({.name = "BusyBox's unzip opens a name with ? too", .installer = "setup?.run", .prepare = makeNeighbour, .unzip = busybox}),
      offline({.name = "BusyBox's unzip opens a name with * too", .installer = "setup*.run", .prepare = makeNeighbour, .unzip = busybox}),
      {.name = "plain concatenation: unzip adjusts the offsets; UNZIPOPT is not unzip's", .prepare = [](const Paths& p) {
         makeZip(p.work + "/outer.zip", {{"bundle.zip", readFile(p.work + "/bundle.zip")}, {"InstallAgent.zip", readFile(p.work + "/agent.zip")}});
         writeFile(p.installer, readFile(launcher) + readFile(p.work + "/outer.zip"), 0755);
       }, .environment = {"UNZIPOPT=-p"}, .standardError = "...", .requests = {}, .agentSaw = "<-installbundle><SCRATCH/bundle.zip><UNZIPOPT=-p>", .cache = {}},
      offline({.name = "members past 1 MiB, the packer's piece, keep their CRC", .prepare = repack({})}),
      offline({.name = "ZIP64 records for every member and the end", .prepare = repack({"--zip64"})}),
      damaged("bundle.zip of an unknown method", [](std::string& b, size_t image) { b[image + 8] = 99; }),
      damaged("bundle.zip said to be encrypted", [](std::string& b, size_t image) {
        b[image + 6] |= 1;
        b[b.find("PK\1\2", image) + 8] |= 1;
      }),
      payloadUnzip("payload unzip warns but leaves a bundle", "echo x > \"$4/bundle.zip\"; exit 1", true),
      payloadUnzip("payload unzip warns and leaves the bundle empty", "touch \"$4/bundle.zip\"; exit 1", false),
      payloadUnzip("payload unzip leaves no bundle", "exit 0", false),
      payloadUnzip("payload unzip fails after the bundle", "touch \"$4/bundle.zip\"; exit 2", false),
      payloadUnzip("the payload unzip's shell killed by a signal", "echo x > \"$4/bundle.zip\"; kill -KILL $PPID; exit 0", false),
      {.name = "Info-ZIP's exit 80 means Ctrl-C: the run ends by SIGINT", .unzip = "exit 80", .signal = SIGINT,
       .requests = {}, .agentSaw = "", .cache = {}},

      {.name = "cold cache under umask 0: downloads, unpacks privately", .shellFirst = "umask 0",
       .tools = {"unzip -qq WORK/setup.run -d SCRATCH", "rm -rf " + cacheDir, "unzip -qq -o SCRATCH/InstallAgent.zip -d " + cacheDir, "rm -rf SCRATCH"}},
      {.name = "warm cache: only asks", .cacheBefore = planted, .requests = {"HEAD /agent"}, .agentSaw = "cached"},
      {.name = "the ETag header in lower case", .cacheBefore = {"installagent/install=printf cached > \"$AGENT_RECORD\"", ".validatestring=etag: \"v1\"\r"},
       .answers = {{.headers = "etag: \"v1\"\r\n"}}, .requests = {"HEAD /agent"}, .agentSaw = "cached",
       .cache = {".validatestring=etag: \"v1\"\r", "installagent.lock", "installagent/install"}},
      {.name = "a long ETag differing at its end", .cacheBefore = {".validatestring=ETag: \"" + std::string(100, 'a') + "1\"\r", "installagent/install="},
       .answers = {{.headers = "ETag: \"" + std::string(100, 'a') + "2\"\r\n"}},
       .cache = {".validatestring=ETag: \"" + std::string(100, 'a') + "2\"\r", "installagent.lock", "installagent/install"}},
      {.name = "a validator without an agent proves nothing", .cacheBefore = {".validatestring=ETag: \"v1\"\r"}},
      {.name = "an empty validator file against no ETag", .cacheBefore = {".validatestring=", "installagent/install=printf cached > \"$AGENT_RECORD\""},
       .answers = {{.headers = ""}}, .cache = {".validatestring=", "installagent.lock", "installagent/install"}},
      {.name = "thirty redirects at most", .answers = {{.request = "/loop", .status = 302, .headers = "Location: /loop\r\n"}},
       .environment = {"QZ_INTERNAL_INSTALL_AGENT_URL=HTTP/loop"}, .standardError = failed + "Number of redirects hit maximum amount" + advice,
       .exitCode = 255, .requests = std::vector<std::string>(31, "HEAD /loop"), .agentSaw = "", .cache = cold},
      {.name = "HEAD answered 404", .answers = {{.status = 404}}, .standardError = "Could not reach the download server." + advice.substr(3),
       .exitCode = 255, .requests = {"HEAD /agent"}, .agentSaw = "", .cache = cold},
      {.name = "HEAD answered 400", .answers = {{.status = 400}}, .standardError = "Error: Download process failed. Received an HTTP code: 400." +
       advice.substr(3), .exitCode = 255, .requests = {"HEAD /agent"}, .agentSaw = "", .cache = cold},
      {.name = "GET answered 500: no validator written, the old agent gone", .cacheBefore = {".validatestring=ETag: \"v0\"\r", "installagent/install="},
       .answers = {{.request = "HEAD /agent"}, {.request = "GET /agent", .status = 500}},
       .standardError = "Error: Download process failed. Received an HTTP code: 500." + advice.substr(3), .exitCode = 255,
       .agentSaw = "", .cache = {".validatestring=ETag: \"v0\"\r", "installagent.lock"}},
      {.name = "a corrupt archive: the half-unpacked agent removed", .answers = {{.body = "CORRUPT"}}, .standardError = "..." + cannotUnzipAgent,
       .exitCode = 255, .agentSaw = "", .cache = {".validatestring=ETag: \"v1\"\r", "installagent.lock"}},
      {.name = "a changed ETag, HOME -x/ and a name that needs quoting: no path read as an option, the stale agent removed",
       .cacheBefore = {".validatestring=ETag: \"v0\"\r", "installagent/install=", "installagent/stale="}, .environment = {"HOME=-x/" + hostile}},
      {.name = "an empty agent URL", .environment = {"QZ_INTERNAL_INSTALL_AGENT_URL="}, .standardError = failed + "URL using bad/illegal format or missing URL" + advice, .exitCode = 255, .requests = {}, .agentSaw = "", .cache = cold},
      {.name = "a file:// agent URL, whatever the library supports", .environment = {"QZ_INTERNAL_INSTALL_AGENT_URL=file:///etc/hostname"},
       .standardError = failed + "Unsupported protocol" + advice, .exitCode = 255, .requests = {}, .agentSaw = "", .cache = cold},
      {.name = "the default agent URL, through http_proxy", .answers = {{.request = agentUrl}},
       .environment = {"-QZ_INTERNAL_INSTALL_AGENT_URL", "http_proxy=HTTP"}, .requests = {"HEAD " + agentUrl, "GET " + agentUrl}},
      {.name = "https with the server's CA", .environment = {"QZ_INTERNAL_INSTALL_AGENT_URL=HTTPS/agent", "SSL_CERT_FILE=CA"}},
      {.name = "https to a name the certificate does not hold", .environment = {"QZ_INTERNAL_INSTALL_AGENT_URL=ALIAS/agent", "SSL_CERT_FILE=CA"},
       .standardError = badCertificate, .exitCode = 255, .requests = {}, .agentSaw = "", .cache = cold},
      {.name = "https with another CA", .environment = {"QZ_INTERNAL_INSTALL_AGENT_URL=HTTPS/agent", "SSL_CERT_FILE=OTHERCA"},
       .standardError = badCertificate, .exitCode = 255, .requests = {}, .agentSaw = "", .cache = cold},
      {.name = "https redirected to http is refused", .answers = {{}, {.request = "/to-http", .status = 302, .headers = "Location: HTTP/agent\r\n"}},
       .environment = {"QZ_INTERNAL_INSTALL_AGENT_URL=HTTPS/to-http", "SSL_CERT_FILE=CA"},
       .standardError = failed + "Unsupported protocol" + advice, .exitCode = 255, .requests = {"HEAD /to-http"}, .agentSaw = "", .cache = cold},
      {.name = "http redirected to https", .answers = {{}, {.request = "/to-https", .status = 302, .headers = "Location: HTTPS/agent\r\n"}},
       .environment = {"QZ_INTERNAL_INSTALL_AGENT_URL=HTTP/to-https", "SSL_CERT_FILE=CA"},
       .requests = {"HEAD /to-https", "HEAD /agent", "GET /to-https", "GET /agent"}},
      refused("a group-writable HOME", "WORK/home", [](const Paths& p) { chmod(p.home.c_str(), 0775); }),
      refused("a link in place of the validator", "WORK/home/" + cacheRelative + ".validatestring", [](const Paths& p) {
        fs::remove(p.cache + ".validatestring");
        fs::create_symlink(p.work + "/elsewhere", p.cache + ".validatestring");
      }, false, {".validatestring@", "installagent/install"}),
      refused("a link in place of the lock", "WORK/home/" + cacheRelative + "installagent.lock", [](const Paths& p) {
        fs::create_symlink(p.work + "/elsewhere", p.cache + "installagent.lock");
      }, false, {".validatestring=ETag: \"v1\"\r", "installagent.lock@", "installagent/install"}),
      refused("a HOME of another user's, linked into a directory of root's", "WORK/home", [](const Paths& p) {
        fs::remove_all(p.home + "/.orvane");
        fs::create_directory(p.work + "/root only");
        fs::create_directory_symlink(p.work + "/root only", p.home + "/.orvane");
        chown(p.home.c_str(), 65534, 0);
      }, true, {}),
      {.name = "no scratch directory under a read-only /tmp: beside the executable", .installer = "dir/setup.run",
       .shellFirst = "mount --bind /tmp /tmp && mount -o remount,bind,ro /tmp && mount --bind WORK WORK && mount -o remount,bind,rw WORK",
       .needsRoot = true, .agentSaw = "<-installbundle><WORK/dir/bundle.zip>",
       .tools = {"unzip -qq WORK/dir/setup.run -d WORK/dir", "rm -rf " + cacheDir, "unzip -qq -o WORK/dir/InstallAgent.zip -d " + cacheDir}},

      offline({.name = "Ctrl-C while the agent runs", .agent = "touch \"$MARK\"; exec sleep 10", .interrupt = SIGINT,
       .signal = SIGINT, .agentSaw = ""}),
      offline({.name = "Ctrl-\\ while the agent runs", .agent = "touch \"$MARK\"; exec sleep 10", .interrupt = SIGQUIT,
       .signal = SIGQUIT, .agentSaw = ""}),
      offline({.name = "the agent's own status of 130 is its business", .agent = "exit 130", .agentSaw = ""}),
      offline({.name = "SIGTERM waits for the agent, then ends the run",
       .agent = "touch \"$MARK\"; sleep 1; [ -s \"$2\" ] && echo whole > \"$AGENT_RECORD\"", .interrupt = SIGTERM,
       .signal = SIGTERM, .agentSaw = "whole\n"}),
      offline({.name = "a hang-up ignored at the start stays ignored",
       .agent = "touch \"$MARK\"; sleep 1; echo done > \"$AGENT_RECORD\"", .shellFirst = "trap '' HUP", .interrupt = SIGHUP, .agentSaw = "done\n"}),
      {.name = "Ctrl-C while the payload unpacks", .unzip = slowUnzip, .interrupt = SIGINT, .signal = SIGINT, .agentSaw = "", .cache = {}},
      {.name = "a hang-up while the agent unpacks into the cache: no validator",
       .unzip = "case $* in *-o*) touch \"$MARK\"; sleep 10;; esac\n" + realUnzip, .interrupt = SIGHUP, .signal = SIGHUP,
       .agentSaw = "", .cache = cold},
      {.name = "SIGINT during the download", .answers = {{.trickle = true}}, .interrupt = SIGINT, .interruptAfter = "GET /agent",
       .signal = SIGINT, .agentSaw = "", .cache = {"installagent.lock"}},
      {.name = "Ctrl-C during the real unzip, bash as /bin/sh", .installer = "dir/setup.run", .prepare = [](const Paths& p) {
         std::string big = p.work + "/big";
         writeFile(big, "");
         truncate(big.c_str(), 128 << 20);
         runProcess({"/usr/bin/zip", "-q", "-0", "-j", p.work + "/big.zip", big});
         runProcess({packer, launcher, p.work + "/big.zip", p.installer});
       }, .environment = {testMode}, .shellFirst = "mount --bind /bin/bash /bin/sh", .needsRoot = true,
       .interrupt = SIGINT, .interruptAfter = "WORK/dir/bundle.zip", .signal = SIGINT, .agentSaw = "", .cache = {}},
  };
}

TEST(EndToEnd, Scenarios) {
  struct rlimit noCore = {0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  ScriptedServer server;
  std::unique_ptr<TlsFront> tls;
  for (const Scenario& scenario : scenarios()) playScenario(scenario, server, tls);
}

TEST(EndToEnd, RunsAtOnceShareOneDownloadAndNeverSeeAHalfWrittenAgent) {
  TemporaryDirectory work;
  // The agent checks that its 4 MB data file is whole before it says so.
  ASSERT_TRUE(packInstaller(work.path(), work.file("setup.run"), {{"install", "[ $(wc -c < \"$(dirname \"$0\")/data\") = 4000000 ] && "
      "echo whole > \"$AGENT_RECORD\""}, {"data", std::string(4000000, 'd')}}, false));
  ScriptedServer server;
  server.answer("/agent", okAnswer(readFile(work.file("agent.zip"))));
  for (size_t gets : {1, 0}) {  // a cold cache, then a warm one
    std::vector<std::unique_ptr<ChildProcess>> runs;
    for (int i = 0; i < 8; ++i)
      runs.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{"/usr/bin/env", "HOME=" + work.path(),
          "QZ_INTERNAL_INSTALL_AGENT_URL=" + server.url() + "/agent", "AGENT_RECORD=" + work.file(std::to_string(i)), work.file("setup.run")}));
    for (int i = 0; i < 8; ++i) {
      EXPECT_EQ(runs[i]->wait().exitCode, 0);
      EXPECT_EQ(readFile(work.file(std::to_string(i))), "whole\n");
    }
    std::vector<std::string> requests = server.takeRequests();
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "HEAD /agent"), 8);
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "GET /agent"), gets);
  }
}

// Root runs the launcher with the HOME of another user, who swaps root's
// genuine cache for a planted one as fast as the kernel allows.
TEST(EndToEnd, ANeighbourSwappingTheCacheNeverGetsThePlantedAgentRun) {
  if (geteuid() != 0) GTEST_SKIP() << "a neighbour of another user id needs root";
  TemporaryDirectory work;
  ASSERT_TRUE(packInstaller(work.path(), work.file("setup.run"), {{"install", ""}}, false));
  std::string genuine = work.file(".orvane"), planted = work.file(".planted");
  plant(planted + cacheRelative.substr(cacheRelative.find('/')),
        {".validatestring=ETag: \"v1\"\r", "installagent/install=touch " + work.file("planted ran")});
  ScriptedServer server;  // 404 to everything
  ASSERT_EQ(runProcess({"/bin/chown", "-R", "65534", planted, work.path()}).exitCode, 0);
  pid_t neighbour = fork();
  if (neighbour == 0) {
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(1);
    for (;;) renameat2(AT_FDCWD, genuine.c_str(), AT_FDCWD, planted.c_str(), RENAME_EXCHANGE);
  }
  for (int run = 0; run < 40; ++run) {
    ProcessResult result =
        runProcess({"/usr/bin/env", "HOME=" + work.path(), "QZ_INTERNAL_INSTALL_AGENT_URL=" + server.url() + "/agent", work.file("setup.run")});
    EXPECT_EQ(result.exitCode, 255);
    EXPECT_THAT(result.standardError, testing::HasSubstr(work.path() + " belongs to another user"));
  }
  kill(neighbour, SIGKILL);
  waitpid(neighbour, nullptr, 0);
  EXPECT_FALSE(pathExists(work.file("planted ran")));
  EXPECT_TRUE(server.takeRequests().empty());
}

// The release launcher where only BusyBox is installed, traced: no shared
// object and no openssl.cnf is ever opened, over http and https.
TEST(EndToEnd, InstallersRunInARootWithOnlyBusyBox) {
  if (geteuid() != 0) GTEST_SKIP() << "a chroot needs root";
  if (runProcess({"/bin/sh", "-c", "readelf -l \"$0\" | grep -q interpreter", launcher}).exitCode == 0)
    GTEST_SKIP() << "this build's launcher is not static";
  TemporaryDirectory root, work;
  ASSERT_EQ(runProcess({"/bin/sh", "-c", "cd \"$0\" && mkdir -p bin proc home etc/pki/tls/certs && mkdir -m 1777 tmp && cp /bin/busybox bin && "
      "for a in sh rm unzip; do ln -s busybox bin/$a; done && echo '127.0.0.1 agents.test' > etc/hosts && echo 'openssl_conf = engines' > "
      "etc/openssl.cnf && printf 'hosts: files myhostname resolve [!UNAVAIL=return] dns\\npasswd: files systemd\\n' > etc/nsswitch.conf",
      root.path()}).exitCode, 0);
  ASSERT_TRUE(packInstaller(work.path(), root.file("offline.run"), {{"install", "echo \"$@\" > /record"}}, true));
  ASSERT_TRUE(packInstaller(work.path(), root.file("online.run"), {{"install", "echo \"$@\" > /record"}}, false));
  ScriptedServer server;
  server.answer("/agent", okAnswer(readFile(work.file("agent.zip"))));
  TlsFront tls(portOf(server.url()));
  std::tuple<std::string, std::string, std::string, std::string, size_t> cases[] = {{"offline.run", server.url() + "/agent", "", "", 0},
               {"online.run", "http://agents.test:" + std::to_string(portOf(server.url())) + "/agent", "", "", 2},
               {"online.run", tls.url("agents.test") + "/agent", "etc/pki/tls/certs/ca-bundle.crt", "", 2},  // Fedora's path
               {"online.run", tls.url("agents.test") + "/agent", "ca.pem", "SSL_CERT_FILE=/ca.pem", 2}};
  for (const auto& [installer, url, caFile, environment, requests] : cases) {
    SCOPED_TRACE(url + " " + caFile);
    runProcess({"/bin/rm", "-rf", root.file("home/.orvane"), root.file("etc/pki/tls/certs/ca-bundle.crt"), root.file("ca.pem")});
    if (!caFile.empty()) fs::copy_file(tls.ca(), root.file(caFile));
    fs::copy_file(root.file(installer), root.file("setup.run"), fs::copy_options::overwrite_existing);
    ProcessResult result = runProcess({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
        "mount -t proc proc \"$0/proc\" && exec strace -f -qq -e trace=openat,open -o \"$1\" /bin/busybox chroot \"$0\" "
        "/bin/busybox env -i PATH=/bin HOME=/home OPENSSL_CONF=/etc/openssl.cnf QZ_INTERNAL_INSTALL_AGENT_URL=\"$2\" $3 /setup.run a b",
        root.path(), work.file("trace"), url, environment});
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_THAT(readFile(root.file("record")), testing::MatchesRegex("-installbundle /tmp/qz....../bundle.zip a b\n"));
    EXPECT_EQ(server.takeRequests().size(), requests);
    std::string opened = readFile(work.file("trace"));
    EXPECT_THAT(opened, testing::HasSubstr("\"/setup.run\""));
    EXPECT_THAT(opened, testing::Not(testing::HasSubstr(".so")));
    EXPECT_THAT(opened, testing::Not(testing::HasSubstr("openssl.cnf")));
    EXPECT_TRUE(fs::is_empty(root.file("tmp")));
  }
}

// make-installer's refusals and failures; what it writes is read by the real
// unzip in the scenarios.
TEST(MakeInstaller, RefusesOrFailsAndLeavesNothingBehind) {
  TemporaryDirectory dir;
  const std::string bundle = dir.file("b.zip"), out = dir.file("out"), output = out + "/setup.run";
  fs::create_directory(out);
  std::string noise(2 << 20, '\0');
  for (size_t i = 0, x = 1; i < noise.size(); ++i) noise[i] = static_cast<char>((x = x * 6364136223846793005u + 1) >> 56);
  makeZip(bundle, {{"data", noise}});
  writeFile(output, "an earlier installer");
  writeFile(dir.file("text"), "not a zip archive, just long enough to be read as one");
  writeFile(dir.file("truncated.zip"), readFile(bundle).substr(0, 1 << 20));
  std::vector<std::vector<std::string>> refusals = {
      {"/bin/true", bundle}, {"--agent", "/bin/true", bundle, output}, {dir.file("missing"), bundle, output},
      {"/bin/true", out, output}, {"/bin/true", dir.file("text"), output}, {"/bin/true", dir.file("truncated.zip"), output},
      {"--agent", dir.file("truncated.zip"), "/bin/true", bundle, output}, {"/bin/true", bundle, dir.file("no dir/setup.run")},
      {"--bogus", "/bin/true", bundle, output}, {"/bin/true", bundle, output}};  // last, a write that fails half-way
  for (std::vector<std::string> arguments : refusals) {
    // The last alone under a file size limit of 1 MiB (SIGXFSZ ignored): the others must fail on their own.
    std::string limit = arguments == refusals.back() ? "ulimit -f 2048; " : "";
    arguments.insert(arguments.begin(), {"/bin/sh", "-c", "trap '' XFSZ; " + limit + "exec \"$@\"", "sh", packer});
    ProcessResult result = runProcess(arguments);
    EXPECT_NE(result.exitCode, 0) << arguments[5];
    EXPECT_EQ(result.standardError.rfind("make-installer: ", 0), 0u) << result.standardError;
    EXPECT_EQ(std::distance(fs::directory_iterator(out), {}), 1) << result.standardError;
    EXPECT_TRUE(readFile(output) == "an earlier installer") << arguments[5];
  }
}

}  // namespace
