// Packed installers run as separate processes, as a user starts them, against
// a loopback server: one row per behaviour, each its own test.
#include "scenario.h"

using namespace testing_support;

namespace {

const std::string testMode = "__QZ_BOOTSTRAP_INSTALLER_UNITTEST__=";
const std::string hostile = "it's \"a\" $(touch pwned) `touch pwned`\n caf\xc3\xa9";
const std::string badCertificate = failed + "SSL peer certificate or SSH remote key was not OK" + advice;
const std::string validator = ".validatestring=ETag: \"v1\"\r";
const std::vector<std::string> cold = {"installagent.lock", "installagent/"};
const std::vector<std::string> planted = {validator, "installagent/install=printf cached > \"$AGENT_RECORD\""};
const std::string cacheDirectory = "%WORK%/home/" + cacheRelative;

// The installer carries the agent: no request, no cache.
Scenario offline(Scenario s) {
  s.bundledAgent = true, s.requests = {}, s.cache = {};
  return s;
}

// The agent could not be provided or started: the run ends with these lines.
Scenario failing(Scenario s, std::string standardError, std::vector<std::string> cache = cold) {
  s.standardError = standardError, s.exitCode = 255, s.agentSaw = "", s.cache = cache;
  return s;
}

// An offline installer whose bytes `damage` changes: it never gets past the payload.
Scenario damaged(std::string name, std::function<void(std::string&, size_t image)> damage) {
  return failing(offline({.name = name, .prepare = [damage](const Paths& p) {
    std::string bytes = readFile(p.installer);
    damage(bytes, readFile(launcher).size());
    writeFile(p.installer, bytes, 0755);
  }}), "..." + cannotUnpack, {});
}

// A planted cache that `change` makes untrustworthy: the run refuses it.
Scenario refused(std::string name, std::string offender, std::function<void(const Paths&)> change,
                 std::vector<std::string> cache = {validator, "installagent/install"}) {
  Scenario s{.name = name, .cacheBefore = planted, .prepare = change, .requests = {}};
  return failing(s, "Internal Error: The install agent cache is not safe to use - " + offender + " belongs to another user or can be "
                 "written by others.\nFailed to initialize the install agent.\nInstallation failed.\n", cache);
}

// A hostile agent archive: `entries` beside a good install. Those in
// `unpacked` are made as plain files inside the agent directory; any other
// archive is refused. Either way nothing is written outside the agent
// directory and no special file is made.
Scenario hostileArchive(std::string name, std::string entries, std::vector<std::string> unpacked = {}) {
  Scenario s{.name = name, .agentArchive = "/usr/bin/python3 ../zipcraft.py \"$OUT\" install 100755 @install " + entries};
  if (unpacked.empty()) return failing(s, "..." + cannotUnzipAgent, {"installagent.lock"});
  s.cache = {validator, "installagent.lock", "installagent/install"};
  for (const std::string& file : unpacked) s.cache.push_back("installagent/" + file);
  std::sort(s.cache.begin(), s.cache.end());
  return s;
}

// An installer setup1.run, which the installer's name matches as a pattern.
void makeNeighbour(const Paths& p) {
  makeZip(p.work + "/neighbour.zip", {{"install", "echo neighbour > \"$AGENT_RECORD\""}});
  runProcess({packer, "--agent", p.work + "/neighbour.zip", launcher, p.work + "/bundle.zip", p.work + "/dir/setup1.run"});
}

// Packs the installer again with `options` and a bundle of `size` bytes,
// stored (`stored`) or deflated.
std::function<void(const Paths&)> repack(std::vector<std::string> options, size_t size = 5u << 19, bool stored = false) {
  return [=](const Paths& p) {
    std::string data;
    for (uint64_t i = 0; data.size() < size; ++i) data += std::to_string(i * 7919) + "\n";
    writeFile(p.work + "/data", data);
    runProcess({"/usr/bin/zip", "-q", "-j", stored ? "-0" : "-6", p.work + "/big.zip", p.work + "/data"});
    fs::remove(p.work + "/data");
    std::vector<std::string> argv = {packer, "--agent", p.work + "/agent.zip", launcher, p.work + "/big.zip", p.installer};
    argv.insert(argv.begin() + 1, options.begin(), options.end());
    runProcess(argv);
    fs::remove(p.work + "/big.zip");
  };
}

// An offline installer of another bundle and agent at WORK/dir/other.run.
void makeOther(const Paths& p) {
  makeZip(p.work + "/other-bundle.zip", {{"other/readme.txt", "another product"}});
  makeZip(p.work + "/other-agent.zip", {{"install", sampleAgent}});
  runProcess({packer, "--agent", p.work + "/other-agent.zip", launcher, p.work + "/other-bundle.zip", p.work + "/dir/other.run"});
}

// The same rows for a root that holds nothing but one shell.
std::vector<Scenario> inRoot(Root root, std::string shell) {
  return {
      offline({.name = shell + " root: offline", .root = root}),
      offline({.name = shell + " root: ZIP64 offline", .prepare = repack({"--zip64"}), .root = root}),
      {.name = shell + " root: cold cache", .root = root},
      {.name = shell + " root: warm cache", .cacheBefore = planted, .root = root, .requests = {"HEAD /agent"}, .agentSaw = "cached"},
      {.name = shell + " root: a changed agent", .cacheBefore = {".validatestring=ETag: \"v0\"\r", "installagent/install=", "installagent/stale="},
       .root = root},
  };
}

std::vector<Scenario> rows() {
  std::string longPath;
  for (int i = 0; i < 6; ++i) longPath += std::string(200, 'd') + "/";
  const std::string agentUrl = "http://download.orvane.example/pi_install_agent_pi_T19q7c_hostk64";
  const std::string sleepingAgent = "[ -e \"$MARK\" ] && { echo again > \"$AGENT_RECORD\"; exit 0; }\ntouch \"$MARK\"\nexec sleep 60\n";
  std::vector<Scenario> rows = {
      // The payload and an agent carried inside.
      offline({.name = "bundled agent: every argument reaches it as it was, and the scratch goes",
       .arguments = {"--dir=/opt/a b;touch pwned", "", "$(touch pwned)", "`touch pwned`", "it's", "new\nline", "*", "a?"},
       .agentSaw = "<-installbundle><%SCRATCH%/bundle.zip><--dir=/opt/a b;touch pwned><><$(touch pwned)><`touch pwned`><it's><new\nline><*><a?>"}),
      offline({.name = "plain words that are no placeholders", .arguments = {"CAT HTTP CA", "WORK"},
       .agentSaw = "<-installbundle><%SCRATCH%/bundle.zip><CAT HTTP CA><WORK>"}),
      offline({.name = "test mode: beside the executable, which stays", .installer = "my dir/setup.run", .environment = {testMode},
       .agentSaw = "<-installbundle><%WORK%/my dir/bundle.zip>"}),
      offline({.name = "test mode in a directory whose name is a pattern", .installer = "a[12]/setup.run", .environment = {testMode},
       .agentSaw = "<-installbundle><%WORK%/a[12]/bundle.zip>"}),
      offline({.name = "a long installer path", .installer = longPath + "setup.run"}),
      offline({.name = "an installer path that needs quoting", .installer = hostile + "/setup.run"}),
      offline({.name = "installer names with [ are no patterns; UNZIP is the agent's", .installer = "dir/setup[12].run",
       .prepare = makeNeighbour, .environment = {"UNZIP=-p"}, .agentSaw = "<-installbundle><%SCRATCH%/bundle.zip><UNZIP=-p>"}),
      offline({.name = "plain concatenation; UNZIPOPT is the agent's", .prepare = [](const Paths& p) {
         makeZip(p.work + "/outer.zip", {{"bundle.zip", readFile(p.work + "/bundle.zip")}, {"InstallAgent.zip", readFile(p.work + "/agent.zip")}});
         writeFile(p.installer, readFile(launcher) + readFile(p.work + "/outer.zip"), 0755);
       }, .environment = {"UNZIPOPT=-p"}, .agentSaw = "<-installbundle><%SCRATCH%/bundle.zip><UNZIPOPT=-p>"}),
      offline({.name = "an agent carried as InstallAgent_x.zip runs without a request", .prepare = [](const Paths& p) {
         makeZip(p.work + "/outer.zip", {{"bundle.zip", readFile(p.work + "/bundle.zip")}, {"InstallAgent_x.zip", readFile(p.work + "/agent.zip")}});
         writeFile(p.installer, readFile(launcher) + readFile(p.work + "/outer.zip"), 0755);
       }}),
      offline({.name = "members past 1 MiB, the packer's piece, keep their CRC", .prepare = repack({})}),
      offline({.name = "ZIP64 records for every member and the end", .prepare = repack({"--zip64"})}),
      damaged("bundle.zip of an unknown method", [](std::string& b, size_t image) { b[image + 8] = 99; }),
      damaged("bundle.zip said to be encrypted", [](std::string& b, size_t image) {
        b[image + 6] |= 1;
        b[b.find("PK\1\2", image) + 8] |= 1;
      }),

      // What is checked before the agent starts.
      failing(offline({.name = "the agent's command line too long for one exec string", .arguments = {std::string(32760, '\'')}}), cannotStart, {}),
      failing(offline({.name = "a command line that fits one string but not exec's space under a small stack", .environment = {"PAD=" + std::string(12000, 'p')},
       .arguments = {std::string(30000, '\'')}, .shellFirst = "ulimit -s 512"}), cannotStart, {}),
      failing(offline({.name = "an agent archive without install at its root", .agentArchive = "mkdir sub && mv install sub && zip -q -r \"$OUT\" sub"}),
              cannotStart, {}),
      failing(offline({.name = "no sh on PATH", .environment = {"PATH=%WORK%/decoy:%WORK%/dir"}}), cannotStart, {}),

      // The cache and the agent server.
      {.name = "cold cache under umask 0: downloads, unpacks privately", .shellFirst = "umask 0"},
      {.name = "warm cache: only asks", .cacheBefore = planted, .requests = {"HEAD /agent"}, .agentSaw = "cached"},
      {.name = "the ETag header in lower case", .cacheBefore = {"installagent/install=printf cached > \"$AGENT_RECORD\"", ".validatestring=etag: \"v1\"\r"},
       .answers = {{.headers = "etag: \"v1\"\r\n"}}, .requests = {"HEAD /agent"}, .agentSaw = "cached",
       .cache = {".validatestring=etag: \"v1\"\r", "installagent.lock", "installagent/install"}},
      {.name = "a long ETag differing at its end", .cacheBefore = {".validatestring=ETag: \"" + std::string(100, 'a') + "1\"\r", "installagent/install="},
       .answers = {{.headers = "ETag: \"" + std::string(100, 'a') + "2\"\r\n"}},
       .cache = {".validatestring=ETag: \"" + std::string(100, 'a') + "2\"\r", "installagent.lock", "installagent/install"}},
      {.name = "a shorter ETag after a longer one: exactly the new line, then HEAD only",
       .cacheBefore = {".validatestring=ETag: \"" + std::string(100, 'a') + "\"\r", "installagent/install="}, .nextRequests = {"HEAD /agent"}},
      {.name = "a validator without an agent proves nothing", .cacheBefore = {validator}},
      {.name = "an empty validator file against no ETag", .cacheBefore = {".validatestring=", "installagent/install=printf cached > \"$AGENT_RECORD\""},
       .answers = {{.headers = ""}}, .cache = {".validatestring=", "installagent.lock", "installagent/install"}},
      failing({.name = "thirty redirects at most", .answers = {{.request = "/loop", .status = 302, .headers = "Location: /loop\r\n"}},
       .environment = {"QZ_INTERNAL_INSTALL_AGENT_URL=%HTTP%/loop"}, .requests = std::vector<std::string>(31, "HEAD /loop")},
              failed + "Number of redirects hit maximum amount" + advice),
      failing({.name = "HEAD answered 404", .answers = {{.status = 404}}, .requests = {"HEAD /agent"}},
              "Could not reach the download server." + advice.substr(3)),
      failing({.name = "HEAD answered 400", .answers = {{.status = 400}}, .requests = {"HEAD /agent"}},
              "Error: Download process failed. Received an HTTP code: 400." + advice.substr(3)),
      failing({.name = "GET answered 500: no validator written, the old agent gone", .cacheBefore = {".validatestring=ETag: \"v0\"\r", "installagent/install="},
       .answers = {{.request = "HEAD /agent"}, {.request = "GET /agent", .status = 500}}},
              "Error: Download process failed. Received an HTTP code: 500." + advice.substr(3), {".validatestring=ETag: \"v0\"\r", "installagent.lock"}),
      failing({.name = "a corrupt archive: one line names the member, nothing half-unpacked stays", .answers = {{.body = "%CORRUPT%"}}},
              "%SCRATCH%/InstallAgent.zip: install: ZIP bad CRC: 0xa08266c7 should be 0x32481685\n" + cannotUnzipAgent, {"installagent.lock"}),
      {.name = "a changed ETag, HOME -x/ and a name that needs quoting: no path read as an option, the stale agent removed",
       .cacheBefore = {".validatestring=ETag: \"v0\"\r", "installagent/install=", "installagent/stale="}, .environment = {"HOME=-x/" + hostile}},
      failing({.name = "an empty agent URL", .environment = {"QZ_INTERNAL_INSTALL_AGENT_URL="}, .requests = {}},
              failed + "URL using bad/illegal format or missing URL" + advice),
      failing({.name = "a file:// agent URL, whatever the library supports", .environment = {"QZ_INTERNAL_INSTALL_AGENT_URL=file:///etc/hostname"},
       .requests = {}}, failed + "Unsupported protocol" + advice),
      {.name = "the default agent URL, through http_proxy", .answers = {{.request = agentUrl}},
       .environment = {"-QZ_INTERNAL_INSTALL_AGENT_URL", "http_proxy=%HTTP%"}, .requests = {"HEAD " + agentUrl, "GET " + agentUrl}},
      {.name = "https with the server's CA", .environment = {"QZ_INTERNAL_INSTALL_AGENT_URL=%HTTPS%/agent", "SSL_CERT_FILE=%CA%"}},
      {.name = "https with only openSUSE's CA bundle on the host", .environment = {"QZ_INTERNAL_INSTALL_AGENT_URL=%HTTPS%/agent"},
       .shellFirst = "mount -t tmpfs tmpfs /etc/ssl && cp %CA% /etc/ssl/ca-bundle.pem && ! test -e /etc/pki/tls/certs/ca-bundle.crt", .needsRoot = true},
      failing({.name = "https to a name the certificate does not hold", .environment = {"QZ_INTERNAL_INSTALL_AGENT_URL=%ALIAS%/agent", "SSL_CERT_FILE=%CA%"},
       .requests = {}}, badCertificate),
      failing({.name = "https with another CA", .environment = {"QZ_INTERNAL_INSTALL_AGENT_URL=%HTTPS%/agent", "SSL_CERT_FILE=%OTHERCA%"},
       .requests = {}}, badCertificate),
      failing({.name = "https redirected to http is refused", .answers = {{}, {.request = "/to-http", .status = 302, .headers = "Location: %HTTP%/agent\r\n"}},
       .environment = {"QZ_INTERNAL_INSTALL_AGENT_URL=%HTTPS%/to-http", "SSL_CERT_FILE=%CA%"}, .requests = {"HEAD /to-http"}},
              failed + "Unsupported protocol" + advice),
      failing({.name = "HTTPS in capitals is held to https through redirects",
       .answers = {{}, {.request = "/to-http", .status = 302, .headers = "Location: %HTTP%/agent\r\n"}},
       .environment = {"QZ_INTERNAL_INSTALL_AGENT_URL=HTTPS://%TLSHOST%/to-http", "SSL_CERT_FILE=%CA%"}, .requests = {"HEAD /to-http"}},
              failed + "Unsupported protocol" + advice),
      {.name = "http redirected to https", .answers = {{}, {.request = "/to-https", .status = 302, .headers = "Location: %HTTPS%/agent\r\n"}},
       .environment = {"QZ_INTERNAL_INSTALL_AGENT_URL=%HTTP%/to-https", "SSL_CERT_FILE=%CA%"},
       .requests = {"HEAD /to-https", "HEAD /agent", "GET /to-https", "GET /agent"}},
      {.name = "HOME set but empty: the cache under /tmp/.orvane", .environment = {"HOME="}, .needsRoot = true},

      // Whom the cache trusts.
      refused("a group-writable HOME", "%WORK%/home", [](const Paths& p) { chmod(p.home.c_str(), 0775); }),
      [] {
        Scenario s = refused("a relative HOME from a group-writable working directory", "%WORK%/gw",
                             [](const Paths& p) { chmod((p.work + "/gw").c_str(), 0775); });
        s.directory = "gw", s.environment = {"HOME=home"};
        return s;
      }(),
      refused("a link in place of the validator", cacheDirectory + ".validatestring", [](const Paths& p) {
        fs::remove(p.cache + ".validatestring");
        fs::create_symlink(p.work + "/elsewhere", p.cache + ".validatestring");
      }, {".validatestring@", "installagent/install"}),
      refused("a validator with a second hard link", cacheDirectory + ".validatestring", [](const Paths& p) {
        fs::create_hard_link(p.cache + ".validatestring", p.work + "/elsewhere");
      }),
      refused("a link in place of the lock", cacheDirectory + "installagent.lock", [](const Paths& p) {
        fs::create_symlink(p.work + "/elsewhere", p.cache + "installagent.lock");
      }, {validator, "installagent.lock@", "installagent/install"}),
      refused("a HOME of another user's, linked into a directory of root's", "%WORK%/home", [](const Paths& p) {
        fs::remove_all(p.home + "/.orvane");
        fs::create_directory(p.work + "/root only");
        fs::create_directory_symlink(p.work + "/root only", p.home + "/.orvane");
        if (chown(p.home.c_str(), 65534, 0) != 0) ADD_FAILURE() << "needs root";
      }, {}),

      // Where the scratch directory goes.
      offline({.name = "a read-only /tmp: two installers from one directory, each its own bundle, nothing left beside them",
       .prepare = makeOther, .shellFirst = "mount -o remount,bind,ro /tmp", .needsRoot = true, .nextInstaller = "dir/other.run"}),
      offline({.name = "no /proc: an offline installer in a root without it", .root = Root::busyBox, .mountProc = false}),
      {.name = "an installer renamed over during its HEAD request runs its own bundle and agent", .prepare = makeOther,
       .answers = {{}, {.request = "HEAD /agent", .holdAt = 0}}, .event = "HEAD /agent",
       .action = [](const Paths& p) { fs::rename(p.work + "/dir/other.run", p.installer); }},

      // Interruptions.
      offline({.name = "Ctrl-C while the agent runs", .agent = sleepingAgent, .event = "%WORK%/started", .interrupt = SIGINT, .signal = SIGINT, .agentSaw = ""}),
      offline({.name = "Ctrl-\\ while the agent runs", .agent = sleepingAgent, .event = "%WORK%/started", .interrupt = SIGQUIT, .signal = SIGQUIT,
       .agentSaw = ""}),
      offline({.name = "the agent's own status of 130 is its business", .agent = "exit 130", .agentSaw = ""}),
      offline({.name = "SIGTERM waits for the agent, then ends the run", .agent = "touch \"$MARK\"; sleep 1; [ -s \"$2\" ] && echo whole > \"$AGENT_RECORD\"",
       .event = "%WORK%/started", .interrupt = SIGTERM, .signal = SIGTERM, .agentSaw = "whole\n"}),
      offline({.name = "a hang-up ignored at the start stays ignored", .agent = "touch \"$MARK\"; sleep 1; echo done > \"$AGENT_RECORD\"",
       .shellFirst = "trap '' HUP", .event = "%WORK%/started", .interrupt = SIGHUP, .agentSaw = "done\n"}),
      {.name = "Ctrl-C while a freshly downloaded agent runs keeps its validator", .agent = sleepingAgent, .event = "%WORK%/started",
       .interrupt = SIGINT, .signal = SIGINT, .agentSaw = "", .nextRequests = {"HEAD /agent"}},
      {.name = "Ctrl-C while a large bundle unpacks", .prepare = repack({}, 200u << 20, true), .needsRoot = true,
       .event = "%TMP%/qz*/bundle.zip", .interrupt = SIGINT, .signal = SIGINT, .agentSaw = "", .cache = {}},
      {.name = "a hang-up while the agent unpacks into the cache: no validator, no half agent",
       .agentArchive = "head -c 64000000 /dev/zero > big && zip -q -0 \"$OUT\" install big", .event = "%CACHE%.installagent-*/big",
       .interrupt = SIGHUP, .signal = SIGHUP, .agentSaw = "", .cache = {"installagent.lock"}},
      {.name = "SIGINT during the download", .answers = {{.trickle = true}}, .event = "GET /agent", .interrupt = SIGINT,
       .signal = SIGINT, .agentSaw = "", .cache = {"installagent.lock"}},
      {.name = "Ctrl-\\ during the download", .answers = {{.trickle = true}}, .event = "GET /agent", .interrupt = SIGQUIT,
       .signal = SIGQUIT, .agentSaw = "", .cache = {"installagent.lock"}},
      failing({.name = "standard error a closed pipe: no SIGPIPE before the clean-up", .answers = {{.status = 404}}, .closedStandardError = true,
       .requests = {"HEAD /agent"}}, ""),

      // Agent archives as the usual tools make them: unpacked as Info-ZIP does.
      {.name = "an agent archive of zip -r -y: modes, a subdirectory, links, an empty directory",
       .agentArchive = "mkdir -p sub/deeper empty && for m in 755 644 600 700; do echo $m > f$m && chmod $m f$m; done && echo s > sub/deeper/s && "
                       "chmod 750 sub && ln -s f644 to-file && ln -s sub to-dir && touch -d '2001-02-03 04:05:06' f600 sub/deeper/s sub && "
                       "zip -q -r -y \"$OUT\" .", .cache = {validator, "installagent.lock", "installagent/empty/", "installagent/f600",
       "installagent/f644", "installagent/f700", "installagent/f755", "installagent/install", "installagent/sub/deeper/s", "installagent/to-dir@",
       "installagent/to-file@"}, .sameAsUnzip = true},
      {.name = "an agent archive zip wrote to a pipe, with data descriptors", .agentArchive = "echo data > data && zip -q -r - . | cat > \"$OUT\"",
       .cache = {validator, "installagent.lock", "installagent/data", "installagent/install"}, .sameAsUnzip = true},
      {.name = "an agent archive of Python's zipfile without Unix attributes",
       .agentArchive = "/usr/bin/python3 ../zipcraft.py \"$OUT\" install - @install dir/ - '' dir/data - 'some data'",
       .cache = {validator, "installagent.lock", "installagent/dir/data", "installagent/install"}, .sameAsUnzip = true},

      // Hostile agent archives.
      hostileArchive("an agent archive entry ../x", "../x 100644 x"),
      hostileArchive("an agent archive entry with an absolute name", "%WORK%/canary/abs 100644 x"),
      hostileArchive("an agent archive writing through its own link", "link 120777 %WORK%/canary link/x 100644 x", {"link/x"}),
      hostileArchive("an agent archive writing through a link to ..", "up 120777 .. up/x 100644 x", {"up/x"}),
      hostileArchive("an agent archive with a device entry", "dev 020644 ''", {"dev"}),
      hostileArchive("an agent archive with a FIFO entry", "fifo 010644 ''", {"fifo"}),
  };
  for (Scenario& s : inRoot(Root::busyBox, "BusyBox")) rows.push_back(s);
  for (Scenario& s : inRoot(Root::dash, "dash")) rows.push_back(s);
  return rows;
}

class Scenarios : public testing::TestWithParam<Scenario> {};

TEST_P(Scenarios, Row) { playScenario(GetParam()); }

INSTANTIATE_TEST_SUITE_P(EndToEnd, Scenarios, testing::ValuesIn(rows()),
                         [](const testing::TestParamInfo<Scenario>& row) { return testName(row.param.name); });

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
      runs.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{"/usr/bin/env", "-C", work.path(), "HOME=" + work.path(),
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

// The release launcher where only BusyBox's sh is installed, traced: no shared
// object and no openssl.cnf is ever opened, over http and https.
TEST(EndToEnd, InstallersRunInARootWithOnlyBusyBox) {
  if (geteuid() != 0) GTEST_SKIP() << "a chroot needs root";
  if (runProcess({"/bin/sh", "-c", "readelf -l \"$0\" | grep -q interpreter", launcher}).exitCode == 0)
    GTEST_SKIP() << "this build's launcher is not static";
  TemporaryDirectory root, work;
  ASSERT_EQ(runProcess({"/bin/sh", "-c", "cd \"$0\" && mkdir -p bin proc home etc/pki/tls/certs && mkdir -m 1777 tmp && cp /bin/busybox bin && "
      "ln -s busybox bin/sh && echo '127.0.0.1 agents.test' > etc/hosts && echo 'openssl_conf = engines' > "
      "etc/openssl.cnf && printf 'hosts: files myhostname resolve [!UNAVAIL=return] dns\\npasswd: files systemd\\n' > etc/nsswitch.conf",
      root.path()}).exitCode, 0);
  ASSERT_TRUE(packInstaller(work.path(), root.file("offline.run"), {{"install", "echo \"$@\" > /record"}}, true));
  ASSERT_TRUE(packInstaller(work.path(), root.file("online.run"), {{"install", "echo \"$@\" > /record"}}, false));
  ScriptedServer server;
  server.answer("/agent", okAnswer(readFile(work.file("agent.zip"))));
  TlsFront tls(portOf(server.url()), work.file("tls"));
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
    EXPECT_THAT(opened, testing::HasSubstr("InstallAgent.zip"));
    EXPECT_THAT(opened, testing::Not(testing::HasSubstr(".so")));
    EXPECT_THAT(opened, testing::Not(testing::HasSubstr("openssl.cnf")));
    EXPECT_TRUE(fs::is_empty(root.file("tmp")));
  }
}

}  // namespace

namespace {

// Another installer renamed over the path after the start, before the payload
// is unpacked (strace holds the scratch directory's mkdir for a while): the
// run still unpacks and runs its own.
TEST(EndToEnd, AnInstallerRenamedOverBeforeItUnpacksRunsItsOwnPayload) {
  TemporaryDirectory work;
  for (const char* name : {"mine", "other"})
    ASSERT_TRUE(packInstaller(work.path(), work.file(std::string(name) + ".run"), {{"install", "echo " + std::string(name)}}, true));
  // LeakSanitizer cannot work under a tracer.
  ChildProcess run({"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0", "/usr/bin/strace", "-f", "-qq", "-o", work.file("trace"), "-e",
                    "trace=mkdir", "-e", "inject=mkdir:delay_exit=1000000", work.file("mine.run")});
  ASSERT_TRUE(waitFor([&] { return readFile(work.file("trace")).find("mkdir(") != std::string::npos; }));
  fs::rename(work.file("other.run"), work.file("mine.run"));
  ProcessResult result = run.wait();
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_EQ(result.standardOutput, "mine\n");
}

// SIGKILL of the whole run at moments spread over the download and unpacking
// of a large agent: the next plain run never starts a half-unpacked agent (the
// agent checks its data before it says so), and leaves no unfinished staging.
TEST(EndToEnd, AKilledRunNeverLeavesAHalfAgentForTheNextOne) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: a killed run's scratch directory must land in a /tmp of its own";
  TemporaryDirectory work;
  const std::string check = "[ $(wc -c < \"$(dirname \"$0\")/data\") = 100000000 ] && echo whole > \"$AGENT_RECORD\"";
  ASSERT_EQ(runProcess({"/bin/sh", "-c", "cd \"$0\" && head -c 100000000 /dev/zero > data && printf '%s' \"$1\" > install && "
                        "zip -q -0 agent.zip install data && rm data", work.path(), check}).exitCode, 0);
  makeZip(work.file("bundle.zip"), {{"product/readme.txt", "the product"}});
  ASSERT_TRUE(packInstaller(work.path(), work.file("setup.run"), false));
  ScriptedServer server;
  server.answer("/agent", okAnswer(readFile(work.file("agent.zip"))));
  const std::string cache = work.file("home/" + cacheRelative);
  auto start = [&] {
    return std::make_unique<ChildProcess>(std::vector<std::string>{"/usr/bin/unshare", "-m", "/bin/sh", "-c", privateTmp + " && exec \"$@\"",
        work.path(), "/usr/bin/env", "-i", "-C", work.path(), "PATH=/usr/bin:/bin",
        "HOME=" + work.file("home"), "AGENT_RECORD=" + work.file("record"), "QZ_INTERNAL_INSTALL_AGENT_URL=" + server.url() + "/agent",
        work.file("setup.run")});
  };
  auto began = std::chrono::steady_clock::now();
  EXPECT_EQ(start()->wait().exitCode, 0);
  auto whole = std::chrono::steady_clock::now() - began;
  for (int moment = 0; moment < 10; ++moment) {
    SCOPED_TRACE(moment);
    fs::remove_all(work.file("home")), fs::remove(work.file("record"));
    plant(cache, {".validatestring=ETag: \"v0\"\r", "installagent/install=echo old > \"$AGENT_RECORD\""});
    server.takeRequests();
    auto run = start();
    std::this_thread::sleep_for(whole * moment / 10);
    kill(-run->pid(), SIGKILL);
    run->wait();
    std::string killedRan = readFile(work.file("record"));
    fs::remove(work.file("record"));
    server.takeRequests();
    EXPECT_EQ(start()->wait().exitCode, 0);
    std::vector<std::string> requests = server.takeRequests();
    // The killed run's request may be logged only after the kill.
    requests.erase(requests.begin(), std::ranges::find(requests, "HEAD /agent"));
    EXPECT_EQ(readFile(work.file("record")), "whole\n") << "after a kill that ran: " << killedRan;
    EXPECT_THAT(requests, testing::AnyOf(testing::ElementsAre("HEAD /agent"), testing::ElementsAre("HEAD /agent", "GET /agent")));
    for (const auto& entry : fs::directory_iterator(cache))
      EXPECT_EQ(entry.path().filename().string().find(".installagent-"), std::string::npos) << entry.path();
  }
  fs::remove_all(work.file("tmp"));  // what the killed runs could not remove
}

}  // namespace
