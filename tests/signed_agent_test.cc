// The launcher with the test key against a loopback agent server: its own
// cache, the manifest asked for before the archive, and every fault leaving
// the cache as it was; then proxies reached over https://.
#include <set>

#include "scenario.h"

using namespace testing_support;

namespace {

using Change = std::function<void(Scenario&)>;
using Preparation = std::function<void(const Paths&)>;
const std::string unverified = failed + "The install agent's signature did not verify" + advice;
const std::vector<std::string> cachedAgent = {
    ".validatestring=ETag: \"v0\"\r", "installagent/install=printf cached > \"$AGENT_RECORD\""};
const Answer archive{}, manifest42{.request = "/agent.sig", .body = "%MANIFEST 42%"};

// Keeps the manifest of `version`, by the test key, in the signed launcher's cache; then `more`.
Preparation keep(std::string version, Preparation more = {}) {
  return [=](const Paths& p) {
    writeFile(p.cache + ".agentmanifest", manifest(p.work + "/agent.zip", version, signingKey));
    if (more) more(p);
  };
}

// The signed launcher against a server with the archive and its manifest of
// version 42, which on success is kept beside the agent; then `change`.
Scenario signedRow(std::string name, Change change = {}) {
  Scenario s{.name = name,
             .signedLauncher = true,
             .answers = {archive, manifest42},
             .requests = {"HEAD /agent", "GET /agent.sig", "GET /agent"},
             .cache = {".agentmanifest=version 42", ".validatestring=ETag: \"v1\"\r",
                       "installagent.lock", "installagent/install"}};
  if (change) change(s);
  return s;
}

// A stale agent of version 41 meets the fault of `answers`: the run ends 255
// with `message` and the agent, validator and manifest stay as they were; then `change`.
Scenario refusedRun(std::string name, std::vector<Answer> answers, std::string message,
                    bool archiveAsked, Change change = {}) {
  return signedRow(name, [=](Scenario& s) {
    s.cacheBefore = cachedAgent, s.prepare = keep("41"), s.answers = answers;
    s.standardError = message, s.exitCode = 255, s.agentSaw = "";
    s.requests = {"HEAD /agent", "GET /agent.sig"};
    if (archiveAsked) s.requests.push_back("GET /agent");
    s.cache = {".agentmanifest=version 41", cachedAgent[0], "installagent.lock",
               "installagent/install"};
    if (change) change(s);
  });
}

// Each file and directory of a fresh agent, its manifest and its validator
// reach the disk before the rename that makes them the cache's: the trace
// holds the fsync of each before the rename.
void expectFlushedBeforeRenamed(const Paths& p) {
  std::set<std::string> synced;
  std::vector<std::string> renamed;
  std::istringstream trace(readFile(p.work + "/trace"));
  const std::regex fsync("fsync\\(\\d+<(.*)>\\)"),
      rename("rename\\w*\\((?:AT_FDCWD[^,]*, )?\"([^\"]+)\", (?:AT_FDCWD[^,]*, )?\"([^\"]+)\"");
  std::smatch m;
  for (std::string line; std::getline(trace, line);) {
    if (std::regex_search(line, m, fsync)) synced.insert(m[1]);
    if (!std::regex_search(line, m, rename)) continue;
    std::string from = fs::path(m[1].str()).lexically_normal(), to = m[2];
    if (fs::path(to).filename().string().starts_with(".installagent-")) continue;  // set aside
    renamed.push_back(fs::path(to).filename());
    EXPECT_TRUE(synced.count(from)) << from;
    std::error_code error;  // a directory: everything in it too
    for (auto it = fs::recursive_directory_iterator(to, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error))
      EXPECT_TRUE(synced.count(from + "/" + it->path().lexically_relative(to).string())) << *it;
  }
  std::sort(renamed.begin(), renamed.end());
  EXPECT_EQ(renamed,
            (std::vector<std::string>{".agentmanifest", ".validatestring", "installagent"}));
}

std::vector<Scenario> signedScenarios() {
  const Answer shortArchive{.body = "%AGENT%"},
      bigManifest{.request = "/agent.sig", .body = "%MANIFEST 42 %WORK%/dir/setup.run%"};
  const std::string overTls = "QZ_INTERNAL_INSTALL_AGENT_URL=%HTTPS%/agent",
                    byName = "QZ_INTERNAL_INSTALL_AGENT_URL=http://agents.test/agent";
  // clang-format off
  return {
    signedRow("cold cache: the manifest first, then the archive, both kept under the key's id"),
    signedRow("an unsigned agent with the current ETag in the keyless cache is never run", [](Scenario& s) {
      s.prepare = [](const Paths& p) {
        plant(p.home + "/" + cacheRelative, {".validatestring=ETag: \"v1\"\r",
                                             "installagent/install=printf planted > \"$AGENT_RECORD\""});
        runProcess({"/bin/chmod", "-R", "go-rx", p.home + "/.orvane"});  // as a run makes it
      }; }),
    signedRow("warm cache: only asks", [](Scenario& s) {
      s.cacheBefore = {".validatestring=ETag: \"v1\"\r", cachedAgent[1]}, s.prepare = keep("42");
      s.requests = {"HEAD /agent"}, s.agentSaw = "cached"; }),
    signedRow("a newer version replaces the agent",
              [](Scenario& s) { s.cacheBefore = cachedAgent, s.prepare = keep("41"); }),
    // strace makes the first unlink(), the old validator's, fail: the new agent runs where it was
    // staged; neither it nor its manifest's temporary file stays.
    signedRow("a validator that cannot be removed keeps the old agent", [](Scenario& s) {
      s.cacheBefore = cachedAgent, s.prepare = keep("41"), s.environment = {"ASAN_OPTIONS=detect_leaks=0"};
      s.wrapper = {"/usr/bin/strace", "-qq", "-o", "/dev/null", "-e", "trace=unlink", "-e",
                   "inject=unlink:error=EACCES:when=1"};
      s.notUnderEmulation = "arm64 has no unlink(), so the validator's removal is one unlinkat among many";
      s.cache = {".agentmanifest=version 41", cachedAgent[0], "installagent.lock", "installagent/install"}; }),
    signedRow("everything renamed into the cache is flushed first", [](Scenario& s) {
      s.agentArchive = "mkdir sub && echo x > sub/data && zip -q -r \"$OUT\" .";
      s.environment = {"ASAN_OPTIONS=detect_leaks=0"}, s.check = expectFlushedBeforeRenamed;
      s.wrapper = {"/usr/bin/strace", "-f", "-qq", "-y", "-o", "%WORK%/trace", "-e",
                   "trace=fsync,rename,renameat,renameat2"};
      s.cache.push_back("installagent/sub/data"); }),
    signedRow("the same version again is taken",
              [](Scenario& s) { s.cacheBefore = cachedAgent, s.prepare = keep("42"); }),
    signedRow("OPENSSL_CONF is never opened", [=](Scenario& s) {
      s.agent = "grep -q qz.cnf \"${AGENT_RECORD%/*}/trace\" || echo unread > \"$AGENT_RECORD\"";
      s.environment = {overTls, "SSL_CERT_FILE=%CA%", "OPENSSL_CONF=%WORK%/qz.cnf"};
      s.wrapper = {"/usr/bin/strace", "-qq", "-o", "%WORK%/trace", "-e", "trace=open,openat"};
      s.staticOnly = true, s.agentSaw = "unread\n"; }),
    refusedRun("an older version is refused", {archive, manifest42},
               failed + "The install agent offered is older than the one in use" + advice, false,
               [](Scenario& s) { s.prepare = keep("43"), s.cache[0] = ".agentmanifest=version 43"; }),
    refusedRun("no manifest: the archive is never asked for",
               {archive, {.request = "/agent.sig", .status = 404}}, unverified, false),
    refusedRun("a manifest by another key",
               {archive, {.request = "/agent.sig", .body = "%FOREIGN 42%"}}, unverified, false),
    refusedRun("a manifest by the key for another agent's name",
               {archive, {.request = "/agent.sig", .body = "%MANIFEST 50 %WORK%/agent.zip other%"}},
               unverified, false),
    // /tmp is not the cache's file system: the manifest's temporary file is the first that finds no room.
    refusedRun("a manifest that cannot be kept fails the run", {archive, manifest42},
               "Internal Error: Failed to keep the install agent's manifest - No space left on device.\n"
               "Failed to initialize the install agent.\nInstallation failed.\n", true, [](Scenario& s) {
      s.cacheBefore = {cachedAgent[0], "installagent/install="};  // takes no room to remove
      s.prepare = keep("41", [](const Paths& p) {
        runProcess({"/bin/sh", "-c", "cp -a \"$0\" \"$0.was\" && mount -t tmpfs -o size=12k,mode=0700 "
                    "tmpfs \"$0\" && cp -a \"$0.was/.\" \"$0\"", fs::path(p.cache).parent_path()});
      });
      s.needsRoot = true; }),
    refusedRun("a manifest by another key, served without an ETag",
               {{.headers = ""}, {.request = "/agent.sig", .body = "%FOREIGN 42%"}}, unverified, false),
    refusedRun("a manifest past 1 KiB",
               {archive, {.request = "/agent.sig", .body = std::string(4 << 20, 'm')}}, unverified, false),
    // The launcher would die of SIGXFSZ past 2 MiB, as dash counts 512-byte blocks.
    refusedRun("an archive longer than its manifest says is cut off",
               {{.body = "%AGENT%" + std::string(8 << 20, 'x')}, manifest42}, unverified, true,
               [](Scenario& s) { s.shellFirst = "ulimit -f 4096"; }),
    refusedRun("an archive shorter than its manifest says", {shortArchive, bigManifest}, unverified, true),
    // The next run, without a key, would take an archive left beside the installer.
    refusedRun("in test mode, a refused archive is not left for the next run", {shortArchive, bigManifest},
               unverified, true, [](Scenario& s) {
      s.prepare = keep("41", [](const Paths& p) { packInstaller(p.work, p.work + "/dir/plain.run", false); });
      s.environment = {"__QZ_BOOTSTRAP_INSTALLER_UNITTEST__="};
      s.nextRequests = {"HEAD /agent", "GET /agent"}, s.nextInstaller = "dir/plain.run"; }),
    refusedRun("an archive of the right size and another digest", {{.body = "%CORRUPT%"}, manifest42},
               unverified, true),
    refusedRun("the archive answered 500: the old agent stays",
               {{.request = "HEAD /agent"}, {.request = "GET /agent", .status = 500}, manifest42},
               "Error: Download process failed. Received an HTTP code: 500." + advice.substr(3), true),
    signedRow("a link in place of the manifest is refused", [](Scenario& s) {
      s.cacheBefore = cachedAgent;
      s.prepare = [](const Paths& p) {
        fs::create_symlink(p.work + "/elsewhere", p.cache + ".agentmanifest");
      };
      s.standardError = "Internal Error: The install agent cache is not safe to use - %WORK%/home/" +
          signedCacheRelative + ".agentmanifest belongs to another user or can be written by others.\n"
          "Failed to initialize the install agent.\nInstallation failed.\n";
      s.exitCode = 255, s.requests = {}, s.agentSaw = "";
      s.cache = {".agentmanifest@", ".validatestring=ETag: \"v0\"\r", "installagent/install"}; }),
    {.name = "an http proxy whose CONNECT answer carries an ETag: no validator from it",
     .answers = {{.headers = ""}, {.request = "CONNECT %TLSHOST%", .headers = "ETag: \"e1\"\r\n",
                                   .body = ""}},
     .environment = {overTls, "https_proxy=%HTTP%", "SSL_CERT_FILE=%CA%"},
     .requests = {"CONNECT %TLSHOST%", "HEAD /agent", "GET /agent"},
     .cache = {"installagent.lock", "installagent/install"}},
    // An https:// proxy sees every request: it is verified with the CA that verifies servers.
    {.name = "an https:// proxy with the CA of SSL_CERT_FILE",
     .environment = {byName, "http_proxy=%HTTPS%", "SSL_CERT_FILE=%CA%"}},
    {.name = "an https:// proxy that another CA vouches for is refused",
     .environment = {byName, "http_proxy=%HTTPS%", "SSL_CERT_FILE=%OTHERCA%"},
     .standardError = "...SSL peer certificate or SSH remote key was not OK" + advice, .exitCode = 255,
     .requests = {}, .agentSaw = "", .cache = {"installagent.lock", "installagent/"}},
  };
  // clang-format on
}

class SignedScenarios : public testing::TestWithParam<Scenario> {};

TEST_P(SignedScenarios, Row) { playScenario(GetParam()); }

INSTANTIATE_TEST_SUITE_P(SignedAgent, SignedScenarios, testing::ValuesIn(signedScenarios()),
                         [](const auto& row) { return testName(row.param.name); });

}  // namespace
