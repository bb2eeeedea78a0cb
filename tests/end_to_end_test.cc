// Packed installers run as separate processes, as a user starts them, against
// a loopback server: one row per behaviour, each its own test.
#include <cstddef>
#include <set>

#include "scenario.h"

using namespace testing_support;

namespace {

const std::string hostile = "it's \"a\" $(touch pwned) `touch pwned`\n caf\xc3\xa9";
const std::string validator = ".validatestring=ETag: \"v1\"\r";
const std::vector<std::string> cold = {"installagent.lock", "installagent/"},
                               agentOnly = {"installagent.lock", "installagent/install"},
                               lockOnly = {"installagent.lock"};
const std::vector<std::string> planted = {validator,
                                          "installagent/install=printf cached > \"$AGENT_RECORD\""};
const std::vector<std::string> changed = {".validatestring=ETag: \"v0\"\r",
                                          "installagent/install=", "installagent/stale="};
const std::string cacheDirectory = "%WORK%/home/" + cacheRelative;
const std::string payloadFailed =
    "Internal error: Failed to initialize application installer (201)\nInstallation failed.\n";

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

// `s` with `change` made to it, for fields a designated initializer cannot reach.
Scenario with(Scenario s, const std::function<void(Scenario&)>& change) {
  change(s);
  return s;
}

// A planted cache that `change` makes untrustworthy: the run refuses it.
Scenario refused(std::string name, std::string offender, std::function<void(const Paths&)> change,
                 std::vector<std::string> cache = {validator, "installagent/install"}) {
  return failing({.name = name, .cacheBefore = planted, .prepare = change, .requests = {}},
                 "Internal Error: The install agent cache is not safe to use - " + offender +
                     " belongs to another user or can be written by others.\nFailed to initialize "
                     "the install agent.\nInstallation failed.\n",
                 cache);
}

// An agent archive that tests/zip_maker.py makes from `arguments` ("forge
// KIND", or "craft" and members beside a good install): refused with `line`
// before anything is unpacked, so nothing is written outside the agent directory.
Scenario refusedArchive(std::string name, std::string arguments, std::string line) {
  std::string made = arguments.rfind("craft", 0) == 0
                         ? "craft \"$OUT\" install 100755 @install" + arguments.substr(5)
                         : arguments + " \"$OUT\"";
  return failing({.name = name, .agentArchive = "/usr/bin/python3 %MAKER% " + made},
                 "%SCRATCH%/InstallAgent.zip: " + line + "\n" + cannotUnzipAgent, lockOnly);
}

// An offline installer that tests/zip_maker.py forges (see edit_installer()):
// the payload step fails, after `line` when one is given ("..." when the line
// names CRC-32s that vary with the installer's times), and nothing is asked.
Scenario forgedInstaller(std::string name, std::string kind, std::string line) {
  if (line != "..." && !line.empty()) line = "%WORK%/dir/setup.run: " + line + "\n";
  return failing(
      offline({.name = name,
               .prepare =
                   [kind](const Paths& p) {
                     runProcess({"/usr/bin/python3", zipMaker, "edit", kind, p.installer});
                   }}),
      line + payloadFailed, {});
}

// The launcher and an archive of bundle.zip (or an empty one) and the agent
// archive named `agentName`, plainly concatenated.
std::function<void(const Paths&)> concatenated(std::string agentName, bool emptyBundle = false) {
  return [=](const Paths& p) {
    makeZip(p.work + "/outer.zip",
            {{"bundle.zip", emptyBundle ? "" : readFile(p.work + "/bundle.zip")},
             {agentName, readFile(p.work + "/agent.zip")}});
    writeFile(p.installer, readFile(launcher) + readFile(p.work + "/outer.zip"), 0755);
  };
}

// Packs the installer again with `options` and a bundle of `size` bytes, deflated or `stored`.
std::function<void(const Paths&)> repack(std::vector<std::string> options, size_t size = 5u << 19,
                                         bool stored = false) {
  return [=](const Paths& p) {
    std::string data;
    for (uint64_t i = 0; data.size() < size; ++i) data += std::to_string(i * 7919) + "\n";
    writeFile(p.work + "/data", data);
    runProcess(
        {"/usr/bin/zip", "-q", "-j", stored ? "-0" : "-6", p.work + "/big.zip", p.work + "/data"});
    std::vector<std::string> argv = {packer,   "--agent",           p.work + "/agent.zip",
                                     launcher, p.work + "/big.zip", p.installer};
    argv.insert(argv.begin() + 1, options.begin(), options.end());
    runProcess(argv);
    fs::remove(p.work + "/big.zip"), fs::remove(p.work + "/data");
  };
}

// An offline installer of another bundle and agent at WORK/my dir/other.run.
void makeOther(const Paths& p) {
  makeZip(p.work + "/other-bundle.zip", {{"other/readme.txt", "another product"}});
  makeZip(p.work + "/other-agent.zip", {{"install", sampleAgent}});
  fs::create_directories(p.work + "/my dir");
  runProcess({packer, "--agent", p.work + "/other-agent.zip", launcher,
              p.work + "/other-bundle.zip", p.work + "/my dir/other.run"});
}

// https from a launcher run where getrandom fails with `error` (strace
// injects it), in an IPC namespace of its own, so that no System V segment
// 0x72 left by another OpenSSL process vouches for /dev/urandom.
Scenario withoutGetrandom(std::string name, std::string error) {
  return {.name = name,
          .environment = {"QZ_INTERNAL_INSTALL_AGENT_URL=%HTTPS%/agent", "SSL_CERT_FILE=%CA%"},
          .wrapper = {"/usr/bin/unshare", "--ipc", "/usr/bin/strace", "-qq", "-o", "/dev/null",
                      "-e", "trace=getrandom", "-e", "inject=getrandom:error=" + error},
          .needsRoot = true,
          .staticOnly = true};
}

// https on a host whose only CA certificates are the test CA at `bundle`,
// after `then`: /etc is an overlay of its own, /etc/ssl an empty file system.
Scenario onlyCaBundle(std::string name, std::string bundle, std::string then = "") {
  return {
      .name = name,
      .environment = {"QZ_INTERNAL_INSTALL_AGENT_URL=%HTTPS%/agent"},
      .shellFirst =
          "mkdir \"$0/o\" && mount -t tmpfs tmpfs \"$0/o\" && mkdir \"$0/o/u\" \"$0/o/w\" && "
          "mount -t overlay overlay -o lowerdir=/etc,upperdir=\"$0/o/u\",workdir=\"$0/o/w\" /etc "
          "&& mount -t tmpfs tmpfs /etc/ssl && mkdir -p " +
          bundle.substr(0, bundle.rfind('/')) + " && cp %CA% " + bundle + then,
      .needsRoot = true};
}

// An answer that redirects `from` to `to`.
Answer redirect(std::string from, std::string to) {
  return {.request = from, .status = 302, .headers = "Location: " + to + "\r\n"};
}

// The agent at /agent behind a chain of `hops` redirects from /r0; only the
// first `asked` requests when given.
Scenario redirected(std::string name, int hops, size_t asked = 99) {
  Scenario s{
      .name = name, .environment = {"QZ_INTERNAL_INSTALL_AGENT_URL=%HTTP%/r0"}, .requests = {}};
  auto hop = [&](int i) { return i < hops ? "/r" + std::to_string(i) : std::string("/agent"); };
  for (int i = 0; i < hops; ++i) s.answers.push_back(redirect(hop(i), hop(i + 1)));
  for (std::string method : {"HEAD ", "GET "})
    for (int i = 0; i <= hops; ++i) s.requests.push_back(method + hop(i));
  s.requests.resize(std::min(asked, s.requests.size()));
  return s;
}

// An agent that records the mode of its own directory.
const std::string ownMode = "stat -c %a \"${0%/*}\" > \"$AGENT_RECORD\"";

std::vector<Scenario> rows() {
  const std::string agentUrl =
      "http://download.orvane.example/pi_install_agent_pi_T19q7c_" + platformTag;
  const std::string sleepingAgent =
      "[ -e \"$MARK\" ] && { echo again > \"$AGENT_RECORD\"; exit 0; }\ntouch \"$MARK\"\nexec "
      "sleep 60\n";
  const std::string badCertificate =
      failed + "SSL peer certificate or SSH remote key was not OK" + advice;
  const std::string unsupported = failed + "Unsupported protocol" + advice;
  const std::string https = "QZ_INTERNAL_INSTALL_AGENT_URL=%HTTPS%", ca = "SSL_CERT_FILE=%CA%";
  const Answer toHttp = redirect("/to-http", "%HTTP%/agent");
  const std::string bigAgent = "head -c 64000000 /dev/zero > big && zip -q -0 \"$OUT\" install big";
  const std::string maker = "/usr/bin/python3 %MAKER% ",
                    roMountedTmp = "mount -o remount,bind,ro /tmp";
  auto cached = [](std::vector<std::string> names) {
    names.insert(names.begin(), {validator, "installagent.lock"});
    for (size_t i = 2; i < names.size(); ++i) names[i] = "installagent/" + names[i];
    return names;
  };
  // strace holds each call it traces for a while; LeakSanitizer cannot work under a tracer.
  auto delaying = [](std::string calls, std::string delay) {
    return std::vector<std::string>{"/usr/bin/strace",
                                    "-qq",
                                    "-o",
                                    "/dev/null",
                                    "-e",
                                    "trace=" + calls,
                                    "-e",
                                    "inject=" + calls + ":delay_exit=" + delay};
  };
  const std::string noLeakCheck = "ASAN_OPTIONS=detect_leaks=0";
  // clang-format off
  std::vector<Scenario> rows = {
    // The payload and an agent carried inside.
    offline({.name = "bundled agent: every argument reaches it as it was, and the scratch goes",
             .arguments = {"--dir=/opt/a b;touch pwned", "", "$(touch pwned)", "`touch pwned`", "it's",
                           "new\nline", "*", "a?"},
             .agentSaw = "<-installbundle><%SCRATCH%/bundle.zip><--dir=/opt/a b;touch pwned><><$(touch pwned)>"
                         "<`touch pwned`><it's><new\nline><*><a?>"}),
    offline({.name = "test mode: beside the executable, which stays", .installer = "my dir/setup.run",
             .environment = {"__QZ_BOOTSTRAP_INSTALLER_UNITTEST__="},
             .agentSaw = "<-installbundle><%WORK%/my dir/bundle.zip>"}),
    offline({.name = "an agent carried as InstallAgent_.zip, plainly concatenated; UNZIPOPT is the agent's",
             .prepare = concatenated("InstallAgent_.zip"), .environment = {"UNZIPOPT=-p"},
             .agentSaw = "<-installbundle><%SCRATCH%/bundle.zip><UNZIPOPT=-p>"}),
    offline({.name = "ZIP64 records for every member and the end", .prepare = repack({"--zip64"})}),
    forgedInstaller("a bundle whose CRC is wrong", "bundle-crc", "..."),
    forgedInstaller("an installer without bundle.zip", "no-bundle", ""),
    failing(offline({.name = "a plainly concatenated installer whose bundle.zip is empty",
                     .prepare = concatenated("InstallAgent.zip", true)}), payloadFailed, {}),

    // What is checked before the agent starts.
    failing(offline({.name = "the agent's command line too long for one exec string",
                     .arguments = {std::string(32760, '\'')}}), cannotStart, {}),
    failing(offline({.name = "the agent's command line fits, not with the environment",
                     .environment = {"A=" + std::string(100000, 'a'), "B=" + std::string(100000, 'b')},
                     .arguments = {std::string(20000, '\'')}, .shellFirst = "ulimit -s 1024"}),
            cannotStart, {}),
    failing(offline({.name = "an agent archive without install at its root",
                     .agentArchive = "mkdir sub && mv install sub && zip -q -r \"$OUT\" sub"}),
            cannotStart, {}),
    failing(offline({.name = "no sh on PATH", .environment = {"PATH=%WORK%/decoy:%WORK%/dir"}}),
            cannotStart, {}),

    // The cache and the agent server.
    {.name = "cold cache under umask 0: downloads, unpacks privately", .shellFirst = "umask 0"},
    {.name = "test mode: a file InstallAgent_notes.txt beside the installer is no agent archive",
     .prepare = [](const Paths& p) { writeFile(p.work + "/dir/InstallAgent_notes.txt", "notes"); },
     .environment = {"__QZ_BOOTSTRAP_INSTALLER_UNITTEST__="}, .agentSaw = "<-installbundle><%WORK%/dir/bundle.zip>"},
    {.name = "warm cache: only asks", .cacheBefore = planted, .requests = {"HEAD /agent"},
     .agentSaw = "cached"},
    {.name = "what a killed run left unfinished goes, and nothing else",
     .cacheBefore = {planted[0], planted[1], ".installagent-Ab12Cd/install=", ".validatestring.Ab12Cd=x",
                     ".installagent-keep/x="},
     .requests = {"HEAD /agent"}, .agentSaw = "cached",
     .cache = {".installagent-keep/x", validator, "installagent.lock", "installagent/install"}},
    {.name = "a shorter ETag after a longer one: exactly the new line, then HEAD only",
     .cacheBefore = {".validatestring=ETag: \"" + std::string(100, 'a') + "\"\r", "installagent/install="},
     .nextRequests = {"HEAD /agent"}},
    {.name = "then an installer of this build's x86-64 launcher, same bundle and agent: a cache of its own "
             "when the rows run arm64's (GET again, not the other's agent)",
     .prepare = [](const Paths& p) {
       packInstaller(p.work, p.work + "/dir/x86-64.run", false, QZ_LAUNCHER_PATH);
     },
     .nextRequests = emulated ? std::vector<std::string>{"HEAD /agent", "GET /agent"}
                              : std::vector<std::string>{"HEAD /agent"},
     .nextInstaller = "dir/x86-64.run"},
    {.name = "a validator that only begins with the server's ETag is stale",
     .cacheBefore = {".validatestring=ETag: \"v1\"\rX", "installagent/install="}},
    {.name = "an ETag header in small letters is the validator, then HEAD only",
     .answers = {{.headers = "etag: \"v1\"\r\n"}},
     .cache = {".validatestring=etag: \"v1\"\r", "installagent.lock", "installagent/install"},
     .nextRequests = {"HEAD /agent"}},
    {.name = "an ETag only in a 103 answer before the final one is no validator",
     .answers = {{.headers = "", .interim = "HTTP/1.1 103 Early Hints\r\nETag: \"e103\"\r\n\r\n"}},
     .cache = agentOnly},
    redirected("30 redirects are followed", 30),
    failing(redirected("31 redirects are too many", 31, 31),
            failed + "Number of redirects hit maximum amount" + advice),
    {.name = "a HOME that is a link to a private directory",
     .prepare = [](const Paths& p) {
       fs::remove(p.home), fs::create_directory(p.work + "/real"), fs::create_symlink("real", p.home);
     },
     .environment = {"HOME=%WORK%/link"}},
    {.name = "a HOME of one character gets nothing appended", .directory = "run", .environment = {"HOME=h"}},
    {.name = "an empty validator file against no ETag", .cacheBefore = {".validatestring=", planted[1]},
     .answers = {{.headers = ""}}, .cache = agentOnly},
    failing({.name = "HEAD answered 404", .answers = {{.status = 404}}, .requests = {"HEAD /agent"}},
            "Could not reach the download server." + advice.substr(3)),
    failing({.name = "HEAD answered 400", .answers = {{.status = 400}}, .requests = {"HEAD /agent"}},
            "Error: Download process failed. Received an HTTP code: 400." + advice.substr(3)),
    failing({.name = "GET answered 500: the old agent and its validator gone",
             .cacheBefore = {changed[0], changed[1]},
             .answers = {{.request = "HEAD /agent"}, {.request = "GET /agent", .status = 500}}},
            "Error: Download process failed. Received an HTTP code: 500." + advice.substr(3), lockOnly),
    failing({.name = "a corrupt archive: one line names the member, nothing half-unpacked stays",
             .answers = {{.body = "%CORRUPT%"}}},
            "%SCRATCH%/InstallAgent.zip: install: its compressed data is damaged\n" + cannotUnzipAgent,
            lockOnly),
    {.name = "a changed ETag, HOME -x/ and a name that needs quoting: no path read as an option, the stale "
             "agent removed",
     .cacheBefore = changed, .environment = {"HOME=-x/" + hostile}},
    {.name = "the default agent URL, through http_proxy", .answers = {{.request = agentUrl}},
     .environment = {"-QZ_INTERNAL_INSTALL_AGENT_URL", "http_proxy=%HTTP%"},
     .requests = {"HEAD " + agentUrl, "GET " + agentUrl}},
    {.name = "https with the server's CA", .environment = {https + "/agent", ca}},
    onlyCaBundle("https with only openSUSE's CA bundle on the host", "/etc/ssl/ca-bundle.pem"),
    onlyCaBundle("https with only a hashed CA directory on the host", "/etc/ssl/certs/test.pem",
                 " && openssl rehash /etc/ssl/certs"),
    with(failing(onlyCaBundle("SSL_CERT_DIR alone replaces the host's CA bundle",
                              "/etc/ssl/certs/ca-certificates.crt"), badCertificate),
         [](Scenario& s) { s.environment.push_back("SSL_CERT_DIR=%WORK%/canary"), s.requests = {}; }),
    onlyCaBundle("https with only Fedora's CA bundle on the host", "/etc/pki/tls/certs/ca-bundle.crt"),
    withoutGetrandom("https where getrandom is not implemented", "38"),
    withoutGetrandom("https where getrandom is not permitted", "1"),
    failing({.name = "https with another CA", .environment = {https + "/agent", "SSL_CERT_FILE=%OTHERCA%"},
             .requests = {}}, badCertificate),
    failing({.name = "https redirected to http is refused", .answers = {{}, toHttp},
             .environment = {https + "/to-http", ca}, .requests = {"HEAD /to-http"}}, unsupported),
    failing({.name = "HTTPS in capitals is held to https through redirects", .answers = {{}, toHttp},
             .environment = {"QZ_INTERNAL_INSTALL_AGENT_URL=HTTPS://%TLSHOST%/to-http", ca},
             .requests = {"HEAD /to-http"}}, unsupported),
    {.name = "HOME set but empty: the cache under /tmp/.orvane", .environment = {"HOME="}, .needsRoot = true},

    // Whom the cache trusts.
    refused("a group-writable HOME", "%WORK%/home", [](const Paths& p) { chmod(p.home.c_str(), 0775); }),
    with(refused("a relative HOME from a group-writable working directory", "%WORK%/gw",
                 [](const Paths& p) { chmod((p.work + "/gw").c_str(), 0775); }),
         [](Scenario& s) { s.directory = "gw", s.environment = {"HOME=home"}; }),
    refused("a link in place of the validator", cacheDirectory + ".validatestring", [](const Paths& p) {
              fs::remove(p.cache + ".validatestring");
              fs::create_symlink(p.work + "/elsewhere", p.cache + ".validatestring");
            }, {".validatestring@", "installagent/install"}),
    refused("a validator with a second hard link", cacheDirectory + ".validatestring",
            [](const Paths& p) { fs::create_hard_link(p.cache + ".validatestring", p.work + "/x"); }),
    with(refused("a validator of another user", cacheDirectory + ".validatestring",
                 [](const Paths& p) { chown((p.cache + ".validatestring").c_str(), 65534, -1); }),
         [](Scenario& s) { s.needsRoot = true; }),
    refused("a link in place of the lock", cacheDirectory + "installagent.lock", [](const Paths& p) {
              fs::create_symlink(p.work + "/elsewhere", p.cache + "installagent.lock");
            }, {validator, "installagent.lock@", "installagent/install"}),

    // Where the scratch directory goes, and how it is removed.
    offline({.name = "a read-only /tmp: two installers from one directory, each its own bundle, nothing left "
                     "beside them",
             .installer = "my dir/setup.run", .prepare = makeOther, .shellFirst = roMountedTmp,
             .needsRoot = true,
             .nextInstaller = "my dir/other.run"}),
    offline({.name = "no /proc: an offline installer in a root without it", .root = Root::busyBox,
             .mountProc = false}),
    {.name = "a read-only /tmp: InstallAgent archives planted beside the installer are never run",
     .prepare = [](const Paths& p) {
       for (const char* name : {"/dir/InstallAgent.zip", "/dir/InstallAgent_x.zip"})
         makeZip(p.work + name, {{"install", "echo planted > \"$AGENT_RECORD\""}});
     },
     .shellFirst = roMountedTmp, .needsRoot = true},
    // /tmp a file system with no inode left, WORK mounted into it again.
    failing(offline({.name = "no room in /tmp and a read-only folder beside the installer: the run ends, "
                             "touching nothing there",
                     .prepare = [](const Paths& p) {
                       for (const char* name : {"bundle.zip", "install"})
                         writeFile(p.work + "/dir/" + name, "the user's");
                     },
                     .shellFirst = "cd \"$0\" && mount -t tmpfs -o nr_inodes=2 tmpfs /tmp && mkdir \"$0\" && "
                                   "mount -c --bind . \"$0\" && cd \"$0\" && mount --bind dir dir && "
                                   "mount -o remount,bind,ro dir",
                     .needsRoot = true}),
            "Internal error: Failed to create a scratch directory in /tmp (No space left on device) or beside "
            "the installer (Read-only file system)\n" + payloadFailed, {}),
    offline({.name = "a scratch tree deeper than the removal's buffered levels goes",
             // Below level 24, every directory's entries have names of 13 characters and their
             // entries names of 5: a level reading its child's entries as its own lands off their
             // boundaries and loops.
             .agent = "d=\"${2%/*}\"; for i in $(seq 10 49); do d=$d/chainlevel-$i; mkdir \"$d\"; [ $i -lt 34 ] "
                      "|| for j in $(seq 10 29); do mkdir \"$d/sibling-$i-$j\"; for k in 0 1 2 3 4 5 6 7 8 9; do "
                      ": > \"$d/sibling-$i-$j/f000$k\"; done; done; done\n" + sampleAgent,
             .wrapper = {"/usr/bin/timeout", "-s", "KILL", "60"}}),
    offline({.name = "a read-only and an unreadable directory the agent made go for a user who is not root",
             .agent = "cd \"${2%/*}\" && mkdir -p ro/sub closed/sub && chmod 555 ro && chmod 0 closed\n" +
                      sampleAgent,
             .prepare = [](const Paths& p) { runProcess({"/bin/chown", "-R", "65534", p.work}); },
             .wrapper = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"},
             .needsRoot = true}),

    // Signals.
    offline({.name = "SIGTERM waits for the agent, then ends the run",
             .agent = "touch \"$MARK\"; sleep 1; [ -s \"$2\" ] && echo whole > \"$AGENT_RECORD\"",
             .event = "%WORK%/started", .interrupt = SIGTERM, .signal = SIGTERM, .agentSaw = "whole\n"}),
    offline({.name = "a hang-up ignored at the start (nohup) stays ignored",
             .agent = "touch \"$MARK\"; sleep 1; echo whole > \"$AGENT_RECORD\"", .shellFirst = "trap '' HUP",
             .notUnderEmulation = "qemu-user handles every signal itself, so a host program the launcher "
                                  "starts gets SIGHUP back at its default",
             .event = "%WORK%/started", .interrupt = SIGHUP, .agentSaw = "whole\n"}),
    offline({.name = "the agent starts with SIGPIPE and SIGXFSZ as the launcher was started",
             .agent = "m=0x$(sed -n 's/^SigIgn:\\s*//p' /proc/$$/status)\n"
                      "echo $((m >> 12 & 1)) $((m >> 24 & 1)) > \"$AGENT_RECORD\"",
             .shellFirst = "trap '' PIPE", .agentSaw = "1 0\n"}),
    {.name = "Ctrl-C while a freshly downloaded agent runs keeps its validator", .agent = sleepingAgent,
     .event = "%WORK%/started", .interrupt = SIGINT, .signal = SIGINT, .agentSaw = "",
     .nextRequests = {"HEAD /agent"}},
    {.name = "Ctrl-C while a large bundle unpacks", .prepare = repack({}, 200u << 20, true), .needsRoot = true,
     .event = "%TMP%/qz*/bundle.zip", .interrupt = SIGINT, .signal = SIGINT, .agentSaw = "", .cache = {}},
    {.name = "a hang-up while the agent unpacks into the cache: no validator, no half agent",
     .agentArchive = bigAgent, .event = "%CACHE%.installagent-*/big", .interrupt = SIGHUP, .signal = SIGHUP,
     .agentSaw = "", .cache = lockOnly},
    {.name = "a hang-up while the agent unpacks under a relative HOME", .agentArchive = bigAgent,
     .directory = "run", .environment = {"HOME=home"}, .event = "%CACHE%.installagent-*/big",
     .interrupt = SIGHUP, .signal = SIGHUP, .agentSaw = "", .cache = lockOnly},
    {.name = "a hang-up while the validator is written: no temporary file stays", .environment = {noLeakCheck},
     .wrapper = delaying("fsync", "300000"), .event = "%CACHE%.validatestring.??????",
     .interrupt = SIGHUP, .signal = SIGHUP, .agentSaw = "", .cache = agentOnly},
    offline({.name = "a hang-up in the first instant of the scratch directory", .environment = {noLeakCheck},
             .wrapper = delaying("mkdir,mkdirat", "1000000:when=1"), .needsRoot = true,
             .event = "%TMP%/qz??????", .interrupt = SIGHUP, .signal = SIGHUP, .agentSaw = ""}),
    failing({.name = "a file size limit the download passes: the download failure lines, not SIGXFSZ",
             .agentArchive = "head -c 200000 /dev/zero > big && zip -q -0 \"$OUT\" install big",
             .shellFirst = "ulimit -f 200"},
            failed + "Failed writing received data to disk/application" + advice, lockOnly),
    {.name = "Ctrl-\\ during the download", .answers = {{.trickle = true}}, .event = "GET /agent",
     .interrupt = SIGQUIT, .signal = SIGQUIT, .agentSaw = "", .cache = lockOnly},
    failing({.name = "standard error a closed pipe: no SIGPIPE before the clean-up", .answers = {{.status = 404}},
             .closedStandardError = true, .requests = {"HEAD /agent"}}, ""),

    // Agent archives as the usual tools make them: unpacked as Info-ZIP does.
    {.name = "an agent archive of zip -r -y: modes, a subdirectory, links, an empty directory",
     .agentArchive = "mkdir -p sub/deeper empty && for m in 755 644 600 700; do echo $m > f$m && chmod $m f$m; "
                     "done && echo s > sub/deeper/s && chmod 750 sub && ln -s f644 to-file && ln -s sub to-dir && "
                     "touch -d '2001-02-03 04:05:06' f600 sub/deeper/s sub && zip -q -r -y \"$OUT\" .",
     .cache = cached({"empty/", "f600", "f644", "f700", "f755", "install", "sub/deeper/s", "to-dir@", "to-file@"}),
     .sameAsUnzip = true},
    {.name = "an agent archive with two directories of one name under different parents, no directory entries",
     .agentArchive = "mkdir -p a/x b/x && echo 1 > a/x/f && echo 2 > b/x/g && zip -q -r -D \"$OUT\" install a b",
     .cache = cached({"a/x/f", "b/x/g", "install"})},
    {.name = "an agent archive zip wrote to a pipe, with data descriptors",
     .agentArchive = "echo data > data && zip -q -r - . | cat > \"$OUT\"", .cache = cached({"data", "install"}),
     .sameAsUnzip = true},
    {.name = "an agent archive of Python's zipfile without Unix attributes",
     .agentArchive = maker + "craft \"$OUT\" install - @install dir/ - '' dir/data - 'some data'",
     .cache = cached({"dir/data", "install"}), .sameAsUnzip = true},

    // Hostile agent archives.
    refusedArchive("an agent archive entry ../x", "craft ../x 100644 x", "../x: a \"..\" component"),
    refusedArchive("an agent archive entry with an absolute name", "craft %WORK%/canary/abs 100644 x",
                   "%WORK%/canary/abs: an absolute name"),
    refusedArchive("an agent archive writing through its own link", "craft link 120777 %WORK%/canary link/x 100644 x",
                   "link/x: link exists but is not a directory"),
    refusedArchive("an agent archive with a link target of 4,096 bytes, which no link holds",
                   "craft long 120777 " + std::string(4096, 'x'), "long: its link target is too long"),
    refusedArchive("an agent archive writing through a link to ..", "craft up 120777 .. up/x 100644 x",
                   "up/x: up exists but is not a directory"),
    // Forged and damaged archives: refused before anything is written, whatever unzip would make of them.
    forgedInstaller("an installer whose ZIP64 end record claims 2^62 bytes of directory", "zip64-claim",
                    "the central directory does not fit the file"),
    forgedInstaller("a packed agent whose local name lost a bit: no download instead", "agent-name",
                    "InstallAgent.zip: its local header does not match the central directory (name)"),
    refusedArchive("an agent archive whose end record claims 0xfffffff0 bytes of directory", "forge end-claim",
                   "the central directory does not fit the file"),
    refusedArchive("an agent archive whose directory starts on another disk", "forge other-disk",
                   "the archive spans several disks"),
    refusedArchive("an agent archive with two entries at one local header", "forge overlap",
                   "parts of the archive overlap (a possible zip bomb)"),
    refusedArchive("an agent archive whose last member ends on the directory's first byte", "forge overlap-by-one",
                   "parts of the archive overlap (a possible zip bomb)"),
    refusedArchive("an agent archive whose local and central names differ", "forge names-differ",
                   "a: its local header does not match the central directory (name)"),
    refusedArchive("an agent archive with a link whose CRC is wrong", "forge link-crc",
                   "l: bad CRC 0x2fcabd79 (should be 0x000004d2)"),
    refusedArchive("an agent archive with an empty file whose CRC is wrong", "forge empty-crc",
                   "e: bad CRC 0x00000000 (should be 0x000004d2)"),
    refusedArchive("an agent archive whose directory is at offset zero after other bytes",
                   "forge directory-at-zero", "the central directory's offset is zero"),
    // Written past the declared size, the member would meet the file size limit.
    with(refusedArchive("an agent archive member that inflates past its size", "forge bomb",
                        "bomb: it holds more data than its size"),
         [](Scenario& s) { s.shellFirst = "ulimit -f 2048"; }),
    failing({.name = "an agent archive after other bytes: unzip's warning, and no line of its own",
             .agentArchive = maker + "forge prefixed \"$OUT\""}, cannotUnzipAgent, lockOnly),
    // Members as odd tools make them: unpacked as unzip unpacks them, names with their bytes.
    {.name = "an agent archive with devices and FIFOs: plain files with their data",
     .agentArchive = maker + "forge devices \"$OUT\"", .cache = cached({"dev", "fifo", "install"}),
     .sameAsUnzip = true},
    {.name = "a Unicode path field made for another name is ignored",
     .agentArchive = maker + "forge stale-unicode \"$OUT\"", .cache = cached({"install", "plain"}),
     .sameAsUnzip = true},
    {.name = "an agent archive of 65,537 members whose end record counts them modulo 65,536",
     .agentArchive = maker + "forge many \"$OUT\"", .cache = cached({"dup", "install"}), .sameAsUnzip = true},
    {.name = "a decomposed UTF-8 name keeps its bytes", .agentArchive = maker + "forge nfd \"$OUT\"",
     .cache = cached({"cafe\xcc\x81", "install"})},
    {.name = "bsdtar's ./ entry leaves the agent directory private", .agent = ownMode,
     .agentArchive = "chmod 777 . && bsdtar --format zip -cf \"$OUT\" .", .agentSaw = "700\n", .sameAsUnzip = true},
    offline({.name = "bsdtar's ./ entry leaves the scratch directory private", .agent = ownMode,
             .agentArchive = "chmod 777 . && bsdtar --format zip -cf \"$OUT\" .", .agentSaw = "700\n"}),

    // Another installer renamed over the path after the start, before the payload is unpacked.
    offline({.name = "an installer renamed over before it unpacks: the run unpacks its own payload",
             .prepare = makeOther, .environment = {noLeakCheck},
             .wrapper = delaying("mkdir,mkdirat", "1000000"), .needsRoot = true, .event = "%TMP%/qz??????",
             .atEvent = [](const Paths& p) { fs::rename(p.work + "/my dir/other.run", p.installer); }}),
    // Whatever the environment says, so that no host can make the static launcher load code of its
    // own: names are bytes.
    offline({.name = "no locale or character set file is ever read",
             .agent = "echo ran > \"$AGENT_RECORD\"",
             .agentArchive = "echo x > caf\xc3\xa9 && zip -q \"$OUT\" install caf\xc3\xa9",
             .environment = {noLeakCheck, "GCONV_PATH=%WORK%/conv", "LOCPATH=%WORK%/conv", "LC_ALL=C.UTF-8",
                             "LANG=de_DE.UTF-8"},
             .wrapper = {"/usr/bin/strace", "-f", "-qq", "-o", "%WORK%/trace", "-e",
                         "trace=open,openat,openat2,execve"},
             .agentSaw = "ran\n",
             .check = [](const Paths& p) {
               std::string trace = readFile(p.work + "/trace");
               for (const std::string& looked : {std::string("gconv/"), std::string("locale/"), p.work + "/conv/"})
                 EXPECT_EQ(trace.find(looked), std::string::npos) << looked << " in\n" << trace;
             }}),
  };
  // Ctrl-C or Ctrl-\ at the terminal that ends the agent ends the run by the same signal.
  for (auto [interrupt, key] : {std::pair{SIGINT, "C"}, {SIGQUIT, "\\"}})
    rows.push_back(offline({.name = std::string("Ctrl-") + key + " while the agent runs", .agent = sleepingAgent,
                            .event = "%WORK%/started", .interrupt = interrupt, .signal = interrupt, .agentSaw = ""}));
  // The same runs where the root holds nothing but one shell.
  for (auto [root, shell] : {std::pair{Root::busyBox, "BusyBox"}, {Root::dash, "dash"}}) {
    std::string in = std::string(" in a ") + shell + " root";
    rows.insert(rows.end(), {
        offline({.name = "offline" + in, .root = root}),
        offline({.name = "ZIP64 offline" + in, .prepare = repack({"--zip64"}), .root = root}),
        {.name = "cold cache" + in, .root = root},
        {.name = "warm cache" + in, .cacheBefore = planted, .root = root, .requests = {"HEAD /agent"},
         .agentSaw = "cached"},
        {.name = "a name of UTF-8 and one not in the agent" + in + " without locale files",
         .agentArchive = maker + "forge latin1 \"$OUT\"", .root = root,
         .cache = cached({"install", "latin-\xe9t\xe9"})},
        {.name = "a changed agent" + in, .cacheBefore = changed, .root = root}});
  }
  // clang-format on
  return rows;
}

class Scenarios : public testing::TestWithParam<Scenario> {};

TEST_P(Scenarios, Row) { playScenario(GetParam()); }

INSTANTIATE_TEST_SUITE_P(EndToEnd, Scenarios, testing::ValuesIn(rows()),
                         [](const testing::TestParamInfo<Scenario>& row) {
                           return testName(row.param.name);
                         });

// The command line that runs WORK/`installer` for a user whose HOME is
// WORK/home, with the agent at `url`, `more` ("NAME=value" or a tracer)
// before it. LeakSanitizer cannot work under a tracer.
std::vector<std::string> userRun(const TemporaryDirectory& work, const std::string& url,
                                 std::vector<std::string> more = {},
                                 const std::string& installer = "setup.run") {
  std::vector<std::string> argv = {"/usr/bin/env",
                                   "-i",
                                   "PATH=/usr/bin:/bin",
                                   "HOME=" + work.file("home"),
                                   "AGENT_RECORD=" + work.file("record"),
                                   "ASAN_OPTIONS=detect_leaks=0",
                                   "QZ_INTERNAL_INSTALL_AGENT_URL=" + url + "/agent"};
  argv.insert(argv.end(), more.begin(), more.end());
  argv.push_back(work.file(installer));
  return argv;
}

// Runs of one user take turns on the cache: a second run asks nothing while
// the first one's download is under way, then finds the agent current.
TEST(EndToEnd, RunsOfOneUserTakeTurnsOnTheCache) {
  TemporaryDirectory work;
  ASSERT_TRUE(packInstaller(work.path(), work.file("setup.run"), {{"install", "exit 0"}}, false));
  ScriptedServer server;
  server.answer("HEAD /agent", okAnswer(""));
  server.answer("GET /agent", okAnswer(readFile(work.file("agent.zip"))), false, 0);
  ChildProcess first(userRun(work, server.url()));
  ASSERT_TRUE(waitFor([&] { return server.saw("GET /agent"); }));
  ChildProcess second(userRun(work, server.url()));
  usleep(500000);  // time enough for a HEAD that did not wait its turn
  server.release();
  EXPECT_EQ(first.wait().exitCode, 0);
  EXPECT_EQ(second.wait().exitCode, 0);
  EXPECT_EQ(server.takeRequests(),
            (std::vector<std::string>{"HEAD /agent", "GET /agent", "HEAD /agent"}));
}

// A shell function for an agent: "check" sets $seen to "VERSION COUNT", the
// version in its file f1 and how many of its files f* carry it, so that a
// torn or half agent shows. Builtins only: a run takes no time of its own.
const std::string checkItself =
    "d=${0%/*}\ncheck() { read -r v < \"$d/f1\"; n=0; for f in \"$d\"/f*; do read -r w < \"$f\"; "
    "[ \"$w\" != \"$v\" ] || n=$((n+1)); done; seen=\"$v $n\"; }\n";

// An agent archive at `zip` of `install` and eight files f1 to f8 that carry
// `version`; returns the server's answer of it under the ETag `version`.
std::string makeVersionedAgent(const std::string& zip, const std::string& install,
                               const std::string& version) {
  std::vector<std::pair<std::string, std::string>> members = {{"install", install}};
  for (char i = '1'; i <= '8'; ++i) members.push_back({std::string{'f', i}, version});
  makeZip(zip, members);
  return okAnswer(readFile(zip), version);
}

// The calls a whole replacement makes in the cache, as strace -y recorded
// them in `trace`: each as its kind and its number among the calls of that
// kind, from the cache lock on; no opening for reading, which changes
// nothing; and of the calls within a private directory (a staging one, an
// old agent set aside) only the first of each kind, as the others leave the
// same state behind.
std::vector<std::pair<std::string, int>> replacementCalls(const std::string& trace,
                                                          const std::string& cache) {
  std::map<std::string, int> counted;
  std::set<std::string> privateKinds;
  std::vector<std::pair<std::string, int>> calls;
  std::istringstream lines(trace);
  const std::regex withinPrivate("\\.installagent-[A-Za-z0-9]{6}(/|>, \")");
  bool locked = false;
  for (std::string line; std::getline(lines, line);) {
    size_t paren = line.find('(');
    if (paren == std::string::npos || !std::isalpha(static_cast<unsigned char>(line[0]))) continue;
    std::string call = line.substr(0, paren);
    int n = ++counted[call];
    locked = locked || line.find("installagent.lock") != std::string::npos;
    bool reads = call == "openat" && line.find("O_WRONLY") == std::string::npos &&
                 line.find("O_RDWR") == std::string::npos;
    bool inCache = line.find(cache.substr(0, cache.size() - 1)) != std::string::npos,
         within = std::regex_search(line, withinPrivate);
    if (locked && !reads && inCache && (!within || privateKinds.insert(call).second))
      calls.emplace_back(call, n);
  }
  return calls;
}

// A replacement of the cached agent killed (strace injects SIGKILL) before
// each call, from the cache lock on, of each kind of system call that can
// change the disk; then a run that the server answers with the old ETag runs
// the old whole agent that its validator still vouches for, or downloads the
// new one again, and never a half or another agent. With a key, a new agent
// in place always comes with its manifest, so no kill opens the way back to
// the old version.
TEST(EndToEnd, AKillAtAnyStepOfAReplacementLeavesAWholeAgentOrNoValidator) {
  const std::string changing =
      "openat,mkdir,mkdirat,rename,renameat,renameat2,unlink,unlinkat,rmdir,fsync,fdatasync,write,"
      "pwrite64,ftruncate,fchmod,fchmodat,utimensat,symlink,symlinkat,link,linkat";
  for (bool withKey : {false, true}) {
    TemporaryDirectory work;
    const std::string cache =
        work.file("home") + "/" + (withKey ? signedCacheRelative : cacheRelative);
    std::string answers[2];
    for (int i : {0, 1})
      answers[i] = makeVersionedAgent(work.file(i ? "new.zip" : "old.zip"),
                                      checkItself + "check; echo \"$seen\" > \"$AGENT_RECORD\"\n",
                                      i ? "new" : "old");
    ASSERT_EQ(runProcess({"/usr/bin/unzip", "-qq", work.file("old.zip"), "-d", work.file("old")})
                  .exitCode,
              0);
    makeZip(work.file("bundle.zip"), {{"product/readme.txt", "the product"}});
    ASSERT_TRUE(packInstaller(work.path(), work.file("setup.run"), false,
                              withKey ? signedLauncher : launcher));
    const std::string oldManifest = manifest(work.file("old.zip"), "41", signingKey);
    ScriptedServer server;
    server.answer("/agent.sig", okAnswer(manifest(work.file("new.zip"), "42", signingKey)));
    server.answer("/agent", answers[1]);
    // A stale old agent in the cache; the run, traced when `tracing` says
    // how; its scratch directory, never removed when it was killed, found in the trace.
    auto run = [&](std::vector<std::string> tracing, const std::string& head) {
      fs::remove(work.file("record")), fs::remove(work.file("trace"));
      server.answer("HEAD /agent", head);
      if (!tracing.empty())
        tracing.insert(tracing.begin(), {"/usr/bin/strace", "-qq", "-o", work.file("trace")});
      ProcessResult result = runProcess(userRun(work, server.url(), tracing));
      std::smatch scratch;
      std::string trace = readFile(work.file("trace"));
      if (std::regex_search(
              trace, scratch,
              std::regex("mkdir(?:at)?\\((?:AT_FDCWD, )?\"(/tmp/qz[A-Za-z0-9]{6})\"")))
        fs::remove_all(scratch[1].str());
      return result;
    };
    auto plantOld = [&] {
      fs::remove_all(work.file("home"));
      fs::create_directories(cache);
      fs::copy(work.file("old"), cache + "installagent", fs::copy_options::recursive);
      writeFile(cache + ".validatestring", "ETag: \"v0\"\r");
      if (withKey) writeFile(cache + ".agentmanifest", oldManifest);
    };
    plantOld();
    ASSERT_EQ(run({"-y", "-e", "trace=" + changing}, okAnswer("")).exitCode, 0);
    auto kills = replacementCalls(readFile(work.file("trace")), cache);
    ASSERT_TRUE(std::ranges::any_of(kills, [](auto& k) { return k.first.starts_with("rename"); }));
    for (const auto& [call, n] : kills) {
      std::string at = std::string(withKey ? "signed: " : "") + call + " #" + std::to_string(n);
      plantOld();
      run({"-e", "trace=mkdir,mkdirat," + call, "-e",
           "inject=" + call + ":signal=SIGKILL:when=" + std::to_string(n)},
          okAnswer(""));
      if (withKey && readFile(cache + "installagent/f1") == "new") {
        EXPECT_THAT(readFile(cache + ".agentmanifest"), testing::HasSubstr("version 42\n")) << at;
      }
      server.takeRequests();
      ProcessResult next = run({}, okAnswer("", "v0"));
      EXPECT_EQ(next.exitCode, 0) << at << ": " << next.standardError;
      bool asked = server.takeRequests() == std::vector<std::string>{"HEAD /agent"};
      EXPECT_EQ(readFile(work.file("record")), asked ? "old 8\n" : "new 8\n")
          << at << (asked ? ": run under the old validator" : ": downloaded again");
    }
  }
}

// An end record that claims a directory as large as everything before it (a
// 64 MiB bundle) costs no more memory than the real directory: the claim is
// checked entry by entry, never allocated.
TEST(EndToEnd, AForgedDirectoryClaimCostsNoMoreMemoryThanARun) {
  TemporaryDirectory work;
  ASSERT_EQ(runProcess({"/bin/sh", "-c",
                        "cd \"$0\" && head -c 67108864 /dev/urandom > data && zip -q -0 bundle.zip "
                        "data && printf 'exit 0' > install && zip -q agent.zip install",
                        work.path()})
                .exitCode,
            0);
  ASSERT_TRUE(packInstaller(work.path(), work.file("plain.run"), true));
  ASSERT_TRUE(packInstaller(work.path(), work.file("forged.run"), true));
  runProcess({"/usr/bin/python3", zipMaker, "edit", "whole-claim", work.file("forged.run")});
  ProcessResult plain = runProcess({work.file("plain.run")}),
                forged = runProcess({work.file("forged.run")});
  EXPECT_EQ(plain.exitCode, 0) << plain.standardError;
  EXPECT_EQ(forged.exitCode, 255);
  EXPECT_THAT(forged.standardError, testing::HasSubstr("(201)"));
  EXPECT_LT(forged.peakKiB, plain.peakKiB + 1024);
}

// Sixteen runs at once on one cache while the server's agent changes every
// few runs: every agent sees one whole version of itself from its start to
// its end, and every run exits 0. One agent starts another installer of the
// same cache, whose server has another agent still: it finishes, and the
// first agent is not changed under it.
TEST(EndToEnd, RunsAtOnceEachSeeOneWholeAgentThatStaysAsItWas) {
  TemporaryDirectory work;
  const std::string agent = checkItself +
                            "check; first=$seen\n"
                            "[ -z \"$NESTED\" ] || QZ_INTERNAL_INSTALL_AGENT_URL=$NESTED_URL "
                            "AGENT_RECORD=$AGENT_RECORD.nested NESTED= \"$NESTED\" || echo failed "
                            "> \"$AGENT_RECORD.nested\"\n"
                            "sleep 0.2; check\n[ \"$seen\" = \"$first\" ] && [ \"${first#* }\" = 8 "
                            "] && echo whole > \"$AGENT_RECORD\" || echo \"$first, then $seen\" > "
                            "\"$AGENT_RECORD\"\n";
  ScriptedServer server;
  server.answer("/next", makeVersionedAgent(work.file("agent.zip"), agent, "next"));
  std::vector<std::string> archives;
  for (int version = 0; version <= 8; ++version)
    archives.push_back(makeVersionedAgent(work.file("agent.zip"), agent, std::to_string(version)));
  server.answer("/agent", archives[0]);
  ASSERT_TRUE(packInstaller(work.path(), work.file("setup.run"), {{"install", ""}}, false));
  std::vector<std::unique_ptr<ChildProcess>> runs;
  for (int i = 0; i < 16; ++i)
    runs.push_back(std::make_unique<ChildProcess>(
        userRun(work, server.url(),
                {"AGENT_RECORD=" + work.file("record" + std::to_string(i)),
                 "NESTED=" + std::string(i == 0 ? work.file("setup.run") : ""),
                 "NESTED_URL=" + server.url() + "/next"})));
  size_t asked = 0, next = 1;
  EXPECT_TRUE(waitFor(
      [&] {
        asked += std::ranges::count_if(server.takeRequests(),
                                       [](const std::string& r) { return r.starts_with("HEAD"); });
        if (asked >= 3 && next < archives.size())
          server.answer("/agent", archives[next++]), asked = 0;
        return std::ranges::none_of(runs, [](const auto& run) { return run->running(); });
      },
      120))
      << "a run still waits after two minutes";
  for (int i = 0; i < 16; ++i) {
    if (runs[i]->running()) kill(runs[i]->pid(), SIGKILL);
    ProcessResult result = runs[i]->wait();
    EXPECT_EQ(result.exitCode, 0) << i << ": " << result.standardError;
    EXPECT_EQ(readFile(work.file("record" + std::to_string(i))), "whole\n") << i;
  }
  EXPECT_EQ(readFile(work.file("record0.nested")), "whole\n");
}

// Address space limits around the launcher's own size: where the launcher
// starts at all, an allocation that fails ends the run with the failure
// lines of its step and 255, never an abort or another status, and leaves
// nothing in /tmp.
TEST(EndToEnd, AnAllocationThatFailsEndsTheRunWithItsStepsLines) {
  if (!QZ_LAUNCHER_STATIC)
    GTEST_SKIP() << "the sanitizers need far more address space than the launcher";
  if (emulated)
    GTEST_SKIP() << "qemu-user reserves the guest's address space itself: the limit binds the "
                    "emulator, not the launcher";
  if (geteuid() != 0) GTEST_SKIP() << "needs root: the runs' /tmp must be their own";
  TemporaryDirectory work;
  ScriptedServer server;
  ASSERT_TRUE(packInstaller(work.path(), work.file("offline.run"), {{"install", "exit 0"}}, true) &&
              packInstaller(work.path(), work.file("online.run"), false));
  server.answer("/agent", okAnswer(readFile(work.file("agent.zip"))));
  const std::vector<std::string> stepEndings = {
      "Internal error: Failed to initialize application installer (201)\n",
      "Failed to initialize the install agent.\n", "Failed to start the instal agent\n",
      advice.substr(0, advice.rfind("Installation")), "Please rerun the installer.\n"};
  int failures = 0;
  for (const char* installer : {"offline.run", "online.run"}) {
    for (int kib = 5800; kib <= 7400; kib += 32) {
      std::string at = std::string(installer) + " in " + std::to_string(kib) + " KiB";
      fs::remove_all(work.file("home"));
      std::vector<std::string> argv = userRun(
          work, server.url(),
          {"/bin/sh", "-c", "ulimit -v " + std::to_string(kib) + " && exec \"$0\""}, installer);
      argv.insert(argv.begin(), {"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                                 privateTmp + " && exec \"$@\"", work.path()});
      ProcessResult result = runProcess(argv);
      bool failed = result.exitCode == 255 &&
                    std::ranges::any_of(stepEndings, [&](const std::string& ending) {
                      return result.standardError.ends_with(ending + "Installation failed.\n");
                    });
      failures += failed;
      bool ran = result.exitCode == 0;  // the agent's sh may not have had the room to start
      // The kernel could not map it, or the C library found no room for its start.
      bool neverStarted =
          (result.signal == SIGSEGV && result.standardError.empty()) ||
          (result.exitCode == 127 &&
           result.standardError == "Fatal glibc error: Cannot allocate TLS block\n");
      EXPECT_TRUE(failed || ran || neverStarted)
          << at << ": exit " << result.exitCode << ", signal " << result.signal << "\n"
          << result.standardError;
      EXPECT_EQ(std::distance(fs::directory_iterator(work.file("tmp")), {}), 1) << at;  // WORK
      fs::remove_all(work.file("tmp"));
    }
  }
  EXPECT_GT(failures, 0) << "no allocation failed: the limits are too wide";
}

}  // namespace
