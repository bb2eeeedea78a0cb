// One end-to-end run as data: the installer and the server's answers, the
// environment and arguments, then what the user sees and what is left. Every
// text may hold placeholders, replaced token by token: %WORK% (the run's own
// directory as the launcher sees it), %SCRATCH% (the scratch directory it
// used), %HTTP% and %HTTPS% (the servers' URLs), %TLSHOST% (the https
// server's address and port), %CA% and %OTHERCA% (certificate files), %TMP%
// and %CACHE% (the launcher's /tmp and agent cache, as this process reaches them).
#pragma once

#include <glob.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <functional>
#include <memory>
#include <regex>

#include "launcher_under_test.h"

namespace testing_support {

namespace fs = std::filesystem;

inline const std::string launcher = built(QZ_LAUNCHER_PATH, "bin/qz-bootstrap"),
                         packer = QZ_PACKER_PATH, zipMaker = QZ_ZIP_MAKER;
// A launcher that trusts the build's test key, whose private half signs here.
inline const std::string signedLauncher = built(QZ_SIGNED_LAUNCHER_PATH, "bin/qz-bootstrap-signed"),
                         signingKey = QZ_AGENT_PRIVATE_KEY, signer = QZ_SIGNER_PATH;
inline const std::string platformTag = platformTagOf(launcher);
inline const std::string cacheRelative = ".orvane/installagent/T19q7c/" + platformTag + "/";
// The signed launcher's own cache, named for the test key by openssl's reckoning.
inline const std::string signedCacheRelative =
    cacheRelative.substr(0, cacheRelative.size() - 1) + "-" +
    runProcess({"/bin/sh", "-c", "openssl pkey -pubin -in \"$0\" -outform DER | sha256sum",
                QZ_AGENT_PUBLIC_KEY})
        .standardOutput.substr(0, 16) +
    "/";
// Writes its arguments, each in <>, to $AGENT_RECORD, then any descriptor
// from 3 to 9 it was given open as <fd N>, keeps a copy of the bundle it was
// given when the root has cp, and ends with a status of its own. Without
// AGENT_RECORD it writes nothing, least of all in the working directory.
inline const std::string sampleAgent =
    ": \"${AGENT_RECORD:?}\"\nprintf '<%s>' \"$@\" ${UNZIP+\"UNZIP=$UNZIP\"} "
    "${UNZIPOPT+\"UNZIPOPT=$UNZIPOPT\"} > \"$AGENT_RECORD\"\nfor fd in 3 4 5 6 7 8 9; do { true "
    ">&$fd; } 2>/dev/null && printf '<fd %s>' $fd >> \"$AGENT_RECORD\"; done\n! command -v cp > "
    "/dev/null || cp \"$2\" \"$AGENT_RECORD.bundle\"\nexit 7\n";
// What follows a failed download, and how its message starts.
inline const std::string advice =
                             "\n\n. Check your internet connectivity, proxy server, firewall, and "
                             "virus scanner settings and rerun the installer."
                             "\nInstallation failed.\n",
                         failed = "...Error: Download process failed - ";
inline const std::string cannotUnzipAgent =
    "Failed to unzip the install agent\nFailed to initialize the install agent.\nInstallation "
    "failed.\n";
inline const std::string cannotStart =
    "Failed to start the instal agent\nFailed to start the instal agent\nInstallation failed.\n";

// One answer of the server: interim answers sent first, the status line's
// code, header lines, and the body, where %AGENT% stands for the agent
// archive, %CORRUPT% for it with one bit flipped, and "%MANIFEST n [FILE
// [NAME]]%" and "%FOREIGN n%" for the manifest of version n of the archive
// (or FILE, named NAME instead of "agent") by the test key and by another one.
struct Answer {
  std::string request = "/agent";
  int status = 200;
  std::string headers = "ETag: \"v1\"\r\n", body = "%AGENT%";
  bool trickle = false;
  std::string interim{};
};

// Where the launcher runs: on this host, or as root in a chroot of the work
// directory that holds only BusyBox or dash as sh.
enum class Root { host, busyBox, dash };

// Paths as this process reaches them.
struct Paths {
  std::string work, home, cache, installer;
};

struct Scenario {
  std::string name{};
  // The installer, the cache it meets and the server. `agentArchive`, when
  // set, is a shell line that makes "$OUT" in a directory holding `agent` as
  // install (mode 0755); %MAKER% crafts and forges archives.
  bool bundledAgent = false, signedLauncher = false;
  std::string agent = sampleAgent, agentArchive{}, installer = "dir/setup.run";
  // "name=content" files (a name ending in "/" is a directory) planted in the cache.
  std::vector<std::string> cacheBefore{};
  std::function<void(const Paths&)> prepare{};  // anything more
  std::vector<Answer> answers = {Answer{}};
  // How it runs: where, from which directory under WORK, with "NAME=value"
  // or "-NAME" (unset) over the usual environment, after a shell line (in a
  // mount namespace of its own when root), by a command such as strace.
  Root root = Root::host;
  std::string directory{};
  std::vector<std::string> environment{}, arguments{};
  std::string shellFirst{};
  std::vector<std::string> wrapper{};
  bool mountProc = true, needsRoot = false, closedStandardError = false, staticOnly = false;
  std::string notUnderEmulation{};  // why the row cannot hold under qemu-user, if it cannot
  // An event during the run: a request the server sees ("GET /agent"), or a
  // path pattern that comes to exist; then the signal goes (to the whole
  // group as a terminal sends it, SIGTERM to the launcher alone), or `atEvent` is done.
  std::string event{};
  int interrupt = 0;
  std::function<void(const Paths&)> atEvent{};
  // What it leaves. standardError is exact, or only its end after "...".
  std::string standardError{};
  int exitCode = 0, signal = 0;
  std::vector<std::string> requests = {"HEAD /agent", "GET /agent"};
  std::string agentSaw = "<-installbundle><%SCRATCH%/bundle.zip>";  // "" when it never ran
  // Every entry under the cache, sorted: a directory ends in "/" (only when
  // empty), a link in "@", anything else not a file in "|"; the validator with its content.
  std::vector<std::string> cache = {".validatestring=ETag: \"v1\"\r", "installagent.lock",
                                    "installagent/install"};
  bool sameAsUnzip =
      false;  // the cached agent is what Info-ZIP's unzip -qq -o makes of the archive
  std::function<void(const Paths&)> check{};  // anything more to hold afterwards
  // When not empty, a plain run of `nextInstaller` (or the same) follows,
  // asks exactly these and runs the agent.
  std::vector<std::string> nextRequests{};
  std::string nextInstaller{};
};

inline void PrintTo(const Scenario& s, std::ostream* out) { *out << s.name; }

// The row's name as a test name: runs of other characters become one "_".
inline std::string testName(const std::string& name) {
  std::string result;
  for (char c : name)
    if (std::isalnum(static_cast<unsigned char>(c)))
      result += c;
    else if (!result.empty() && result.back() != '_')
      result += '_';
  while (!result.empty() && result.back() == '_') result.pop_back();
  return result;
}

inline std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; !from.empty() && (at = text.find(from, at)) != std::string::npos;
       at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

// Packs `image`, WORK/bundle.zip and, when `offline`, WORK/agent.zip into `installer`.
inline bool packInstaller(const std::string& work, const std::string& installer, bool offline,
                          const std::string& image = launcher) {
  fs::create_directories(fs::path(installer).parent_path());
  std::vector<std::string> argv = {packer, image, work + "/bundle.zip", installer};
  if (offline) argv.insert(argv.begin() + 1, {"--agent", work + "/agent.zip"});
  return runProcess(argv).exitCode == 0;
}

// Makes WORK/bundle.zip and WORK/agent.zip of `agent`'s members, then packs them.
inline bool packInstaller(const std::string& work, const std::string& installer,
                          const std::vector<std::pair<std::string, std::string>>& agent,
                          bool offline, const std::string& image = launcher) {
  makeZip(work + "/bundle.zip", {{"product/readme.txt", "the product"}});
  makeZip(work + "/agent.zip", agent);
  return packInstaller(work, installer, offline, image);
}

// The bytes of bundle.zip inside an installer, as Info-ZIP reads it.
inline std::string bundleOf(const std::string& installer) {
  return runProcess({"/usr/bin/unzip", "-p", installer, "bundle.zip"}).standardOutput;
}

// Every entry under `directory` as the Scenario's `cache` lists them.
inline std::vector<std::string> listCache(const std::string& directory) {
  std::vector<std::string> entries;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(directory, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    std::string name = it->path().lexically_relative(directory).string();
    auto type = it->symlink_status().type();
    if (type == fs::file_type::directory && !fs::is_empty(it->path())) continue;
    entries.push_back(name + (type == fs::file_type::symlink     ? "@"
                              : type == fs::file_type::directory ? "/"
                              : type != fs::file_type::regular   ? "|"
                              : name == ".validatestring"        ? "=" + readFile(it->path())
                                                                 : ""));
    std::istringstream manifest(
        name == ".agentmanifest" && type == fs::file_type::regular ? readFile(it->path()) : "");
    for (std::string line; std::getline(manifest, line);)
      if (line.rfind("version ", 0) == 0) entries.back() += "=" + line;
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

inline void plant(const std::string& cache, const std::vector<std::string>& files) {
  for (const std::string& file : files) {
    std::string name = file.substr(0, file.find('='));
    fs::create_directories(fs::path(cache + name).parent_path());
    if (name.back() != '/')
      writeFile(cache + name, file.substr(name.size() + 1),
                name == "installagent/install" ? 0755 : 0644);
  }
}

// The manifest that sign-agent writes for `file` named `name`, by `key` or by a key made on the
// spot.
inline std::string manifest(const std::string& file, const std::string& version,
                            const std::string& key = "", const std::string& name = "agent") {
  std::string made = file + ".key";
  if (key.empty())
    runProcess({"/usr/bin/openssl", "genpkey", "-algorithm", "ed25519", "-out", made});
  runProcess(
      {signer, "--key", key.empty() ? made : key, "--name", name, "--version", version, file});
  return readFile(file + ".sig");
}

// A shell step (as root, in a mount namespace of its own) that gives the
// command a /tmp of its own, $0/tmp, where $0 (a directory in /tmp) stays
// at its path: what a run leaves in /tmp, even one killed, is found there.
inline const std::string privateTmp =
    "mkdir -p -m 1777 \"$0/tmp\" && mkdir -p \"$0/tmp/$(basename \"$0\")\" && mount --rbind \"$0\" "
    "\"$0/tmp/$(basename \"$0\")\" && mount --rbind \"$0/tmp\" /tmp";

class RunOfScenario {
 public:
  explicit RunOfScenario(const Scenario& s) : s_(s), w_(work_.path()) {}

  void play() {
    if ((s_.needsRoot || chrooted_) && geteuid() != 0) GTEST_SKIP() << "needs root";
    if (chrooted_ && !QZ_LAUNCHER_STATIC)
      GTEST_SKIP() << "a launcher linked to shared libraries cannot run in a root without them";
    if (emulated && !s_.notUnderEmulation.empty()) GTEST_SKIP() << s_.notUnderEmulation;
    if (s_.staticOnly && !QZ_LAUNCHER_STATIC)
      GTEST_SKIP() << "the system's shared OpenSSL seeds itself otherwise than the static launcher";
    struct rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    ASSERT_NO_FATAL_FAILURE(makeInstallerAndCache());
    const std::string directory = fs::path(paths_.installer).parent_path();
    const std::vector<std::string> beside = listing(directory);
    std::string bundle = bundleOf(paths_.installer);  // before a row puts another in its place
    expectOutcome(run(paths_.installer, true), bundle);
    // Test mode unpacks beside the installer; any other run leaves nothing there.
    EXPECT_TRUE(testMode_ || listing(directory) == beside) << "left beside the installer";
    if (s_.check) s_.check(paths_);
    if (s_.nextRequests.empty()) return;
    std::string next = s_.nextInstaller.empty() ? paths_.installer : w_ + "/" + s_.nextInstaller;
    bundle = bundleOf(next);
    fs::remove(w_ + "/record"), fs::remove(w_ + "/record.bundle");
    ProcessResult result = run(next, false);
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(server_.takeRequests(), s_.nextRequests);
    EXPECT_NE(readFile(w_ + "/record"), "");
    expectBundleSeen(bundle);
    EXPECT_EQ(leftInTmp(), std::vector<std::string>{});
    EXPECT_TRUE(testMode_ || listing(directory) == beside) << "left beside the installer";
  }

 private:
  // The copy of the bundle the agent kept, when the root had cp, is the installer's.
  void expectBundleSeen(const std::string& bundle) const {
    EXPECT_EQ(pathExists(w_ + "/record.bundle") ? readFile(w_ + "/record.bundle") : bundle, bundle);
  }

  // `text` with its placeholders replaced; %WORK% as the launcher sees it, or as this process does.
  std::string expand(std::string text, bool asLauncher = true) {
    if (!tls_ && std::regex_search(text, std::regex("%(HTTPS|TLSHOST|CA|OTHERCA)%")))
      tls_ = std::make_unique<TlsFront>(portOf(server_.url()), w_ + "/tls");
    if (tls_)
      for (auto [from, to] : {std::pair{"%HTTPS%", tls_->url()},
                              {"%TLSHOST%", tls_->url().substr(8)},
                              {"%CA%", tls_->ca()},
                              {"%OTHERCA%", tls_->otherCa()}})
        text = replaceAll(text, from, to);
    for (auto [from, to] : {std::pair{"%HTTP%", server_.url()},
                            {"%TMP%", tmp_},
                            {"%CACHE%", paths_.cache},
                            {"%MAKER%", zipMaker},
                            {"%WORK%", asLauncher && chrooted_ ? std::string() : w_}})
      text = replaceAll(text, from, to);
    return text;
  }

  // A path the launcher names, as this process reaches it.
  std::string outside(const std::string& path) const {
    bool inOwnTmp = privateTmp_ && path.starts_with("/tmp/") && !path.starts_with(w_);
    return chrooted_ || inOwnTmp ? w_ + path : path;
  }

  // The root a chroot row runs in: BusyBox or dash as its only program.
  bool makeRoot() {
    std::string shell = s_.root == Root::busyBox
                            ? "cp \"$1\" bin/busybox && ln -s busybox bin/sh"
                            : "cp /usr/bin/dash bin/sh && for lib in $(ldd /usr/bin/dash | grep -o "
                              "'/[^ ]*'); do cp --parents -L \"$lib\" .; done";
    return runProcess({"/bin/sh", "-c",
                       "cd \"$0\" && mkdir -p bin dev proc home && mkdir -m 1777 tmp && mknod -m "
                       "666 dev/null c 1 3 && " +
                           shell,
                       w_, busyBox})
               .exitCode == 0;
  }

  // The launcher's environment over the usual one, in which decoy unzip and
  // rm, which must never start, come first on PATH.
  void setEnvironment() {
    fs::create_directories(w_ + "/decoy");
    for (std::string tool : {"unzip", "rm"})
      writeFile(
          w_ + "/decoy/" + tool,
          "#!/bin/sh\necho \"" + tool + " $*\" >> " + expand("%WORK%") + "/decoy.log\nexit 9\n",
          0755);
    std::map<std::string, std::string> values = {
        {"PATH", chrooted_ ? "/decoy:/bin" : w_ + "/decoy:/usr/local/bin:/usr/bin:/bin"},
        {"HOME", "%WORK%/home"},
        {"AGENT_RECORD", "%WORK%/record"},
        {"MARK", "%WORK%/started"},
        {"QZ_INTERNAL_INSTALL_AGENT_URL", "%HTTP%/agent"}};
    for (const std::string& variable : s_.environment)
      if (variable[0] == '-')
        values.erase(variable.substr(1));
      else
        values[variable.substr(0, variable.find('='))] = variable.substr(variable.find('=') + 1);
    for (const auto& [name, value] : values) variables_.push_back(name + "=" + expand(value));
    std::string home = expand(values["HOME"]), cwd = w_ + "/" + s_.directory;
    paths_.work = w_;
    paths_.home = home.empty() ? tmp_ : home[0] != '/' ? cwd + "/" + home : outside(home);
    // A HOME of one character gets no separator before the cache's path.
    paths_.cache = paths_.home + (home.size() == 1 ? "" : "/") +
                   (s_.signedLauncher ? signedCacheRelative : cacheRelative);
    paths_.installer = w_ + "/" + s_.installer;
    if (!home.empty()) fs::create_directories(paths_.home);
  }

  void makeInstallerAndCache() {
    fs::create_directories(w_ + "/" + s_.directory);
    fs::create_directories(w_ + "/canary");
    ASSERT_TRUE(!chrooted_ || makeRoot());
    setEnvironment();
    makeZip(w_ + "/bundle.zip", {{"product/readme.txt", "the product"}});
    if (s_.agentArchive.empty()) {
      makeZip(w_ + "/agent.zip", {{"install", s_.agent}});
    } else {
      fs::create_directories(w_ + "/agent-src");
      writeFile(w_ + "/agent-src/install", s_.agent, 0755);
      ASSERT_EQ(runProcess({"/usr/bin/env", "-C", w_ + "/agent-src", "OUT=" + w_ + "/agent.zip",
                            "/bin/sh", "-c", expand(s_.agentArchive, false)})
                    .exitCode,
                0);
    }
    ASSERT_TRUE(packInstaller(w_, paths_.installer, s_.bundledAgent,
                              s_.signedLauncher ? signedLauncher : launcher));
    plant(paths_.cache, s_.cacheBefore);
    if (s_.prepare) s_.prepare(paths_);
    std::string agent = readFile(w_ + "/agent.zip"), corrupt = agent;
    corrupt[30 + 7 + (agent[28] | agent[29] << 8) + 2] ^= 1;  // a bit of "install": a CRC error
    for (const Answer& a : s_.answers) {
      std::string body = a.body, kind, version, file = w_ + "/agent.zip", name = "agent";
      if (body.size() > 2 && body.front() == '%' && body.back() == '%')
        std::istringstream(body.substr(1, body.size() - 2)) >> kind >> version >> file >> name;
      if (kind == "MANIFEST" || kind == "FOREIGN")
        body = manifest(expand(file, false), version, kind == "MANIFEST" ? signingKey : "", name);
      body = replaceAll(replaceAll(body, "%CORRUPT%", corrupt), "%AGENT%", agent);
      server_.answer(expand(a.request),
                     a.interim + "HTTP/1.1 " + std::to_string(a.status) + " X\r\n" +
                         expand(a.headers) + "Content-Length: " + std::to_string(body.size()) +
                         "\r\n\r\n" + body,
                     a.trickle);
    }
  }

  // The command that runs `installer`, as root in a mount namespace with a
  // /tmp of its own (WORK/tmp, WORK still at its path) or in the chroot.
  std::vector<std::string> command(const std::string& installer) {
    std::vector<std::string> argv = {"/usr/bin/env", "-i"};
    if (!chrooted_) argv.insert(argv.end(), {"-C", w_ + "/" + s_.directory});
    argv.insert(argv.end(), variables_.begin(), variables_.end());
    for (const std::string& word : s_.wrapper) argv.push_back(expand(word, false));
    if (chrooted_) argv.insert(argv.end(), {"/usr/sbin/chroot", w_});
    argv.push_back(chrooted_ ? installer.substr(w_.size()) : installer);
    for (const std::string& argument : s_.arguments) argv.push_back(expand(argument));
    std::string first;
    if (privateTmp_) first += privateTmp + " && ";
    if (chrooted_ && s_.mountProc) first += "mount -t proc proc \"$0/proc\" && ";
    if (!s_.shellFirst.empty()) first += expand(s_.shellFirst, false) + " && ";
    if (first.empty()) return argv;
    argv.insert(argv.begin(), {"/bin/sh", "-c", first + "exec \"$@\"", w_});
    if (geteuid() == 0) argv.insert(argv.begin(), {"/usr/bin/unshare", "-m"});
    return argv;
  }

  bool happened(const std::string& event) {
    if (event.find(' ') != std::string::npos && std::isupper(static_cast<unsigned char>(event[0])))
      return server_.saw(event);
    glob_t found{};
    bool any = glob(event.c_str(), 0, nullptr, &found) == 0 && found.gl_pathc > 0;
    globfree(&found);
    return any;
  }

  ProcessResult run(const std::string& installer, bool withEvent) {
    ChildProcess child(command(installer), s_.closedStandardError);
    std::string event = expand(s_.event, false);
    if (!withEvent || event.empty()) return child.wait();
    if (!waitFor([&] { return happened(event) || !child.running(); }) || !happened(event)) {
      ADD_FAILURE() << "the run ended or took a minute before " << event;
      kill(-child.pid(), SIGKILL);
    } else if (s_.atEvent) {
      s_.atEvent(paths_);
    } else if (s_.interrupt != 0) {
      kill(s_.interrupt == SIGTERM ? child.pid() : -child.pid(), s_.interrupt);
    }
    return child.wait();
  }

  // What is in the launcher's /tmp beside the work directory, when it is its own.
  std::vector<std::string> leftInTmp() const {
    if (tmp_ == "/tmp") return {};
    std::vector<std::string> left;
    for (const std::string& name : listing(tmp_))
      if (name != fs::path(w_).filename() && name != ".orvane") left.push_back(tmp_ + "/" + name);
    return left;
  }

  static std::vector<std::string> listing(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory))
      names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  // The cached agent is what Info-ZIP's unzip makes of the archive: names,
  // types, modes, contents, link targets and times (a link's own time is when it was made).
  void expectSameAsUnzip() {
    std::string reference = w_ + "/reference", cached = paths_.cache + "installagent";
    ASSERT_EQ(
        runProcess({"/usr/bin/unzip", "-qq", "-o", w_ + "/agent.zip", "-d", reference}).exitCode,
        0);
    const std::string tree =
        "cd \"$0\" && find . -mindepth 1 -type l -printf '%p %l\\n' -o -printf '%p %M %T@\\n' | "
        "sort";
    EXPECT_EQ(runProcess({"/bin/sh", "-c", tree, cached}).standardOutput,
              runProcess({"/bin/sh", "-c", tree, reference}).standardOutput);
    EXPECT_EQ(runProcess({"/usr/bin/diff", "-r", "--no-dereference", cached, reference}).exitCode,
              0);
  }

  // What the user saw and what is left, with the run's own paths named.
  void expectOutcome(const ProcessResult& result, const std::string& bundle) {
    std::string record = readFile(w_ + "/record");
    std::smatch found;
    std::string scratch =
        std::regex_search(record, found, std::regex("([^<>]*/qz[A-Za-z0-9]{6})/bundle\\.zip"))
            ? found[1].str()
        : std::regex_search(result.standardError, found, std::regex("/tmp/qz[A-Za-z0-9]{6}"))
            ? found[0].str()
            : "";
    auto named = [&](std::string text) {
      text = withoutEmulatorNotes(text);
      if (!scratch.empty()) text = replaceAll(text, scratch, "%SCRATCH%");
      return chrooted_ ? text : replaceAll(text, w_, "%WORK%");
    };
    EXPECT_EQ(result.exitCode, s_.signal == 0 ? s_.exitCode : -1) << result.standardError;
    EXPECT_EQ(result.signal, s_.signal);
    if (s_.standardError.starts_with("..."))
      EXPECT_THAT(named(result.standardError), testing::EndsWith(s_.standardError.substr(3)));
    else
      EXPECT_EQ(named(result.standardError), s_.standardError);
    EXPECT_EQ(result.standardOutput, "");
    std::vector<std::string> requests = server_.takeRequests(), expected;
    for (const std::string& request : s_.requests) expected.push_back(expand(request));
    EXPECT_EQ(s_.interrupt == 0 ? requests : expected, expected);
    EXPECT_EQ(named(record), s_.agentSaw);
    expectBundleSeen(bundle);
    EXPECT_EQ(readFile(w_ + "/decoy.log"), "") << "a decoy on PATH was started";
    EXPECT_EQ(listCache(paths_.cache), s_.cache);
    EXPECT_FALSE(!scratch.empty() && pathExists(outside(scratch))) << scratch;
    EXPECT_EQ(leftInTmp(), std::vector<std::string>{});
    EXPECT_TRUE(fs::is_empty(w_ + "/canary"));
    EXPECT_FALSE(pathExists(w_ + "/" + s_.directory + "/pwned"));
    if (s_.sameAsUnzip) expectSameAsUnzip();
    // A cache the run made is private, each directory of it, whatever the umask.
    bool made = result.exitCode == 0 && s_.cacheBefore.empty() && fs::exists(paths_.cache);
    for (std::string d = paths_.cache; made && d.size() > paths_.home.size();
         d = fs::path(d).parent_path())
      EXPECT_EQ(fs::status(d).permissions() & fs::perms::all, fs::perms::owner_all) << d;
  }

  const Scenario& s_;
  TemporaryDirectory work_;
  const std::string w_;
  const bool chrooted_ = s_.root != Root::host, privateTmp_ = geteuid() == 0 && !chrooted_;
  const bool testMode_ = std::ranges::any_of(s_.environment, [](const std::string& v) {
    return v.starts_with("__QZ_BOOTSTRAP_INSTALLER_UNITTEST__=");
  });
  const std::string tmp_ = chrooted_ || privateTmp_ ? w_ + "/tmp" : "/tmp";  // the launcher's /tmp
  ScriptedServer server_;
  std::unique_ptr<TlsFront> tls_;
  Paths paths_;
  std::vector<std::string> variables_;
};

inline void playScenario(const Scenario& s) { RunOfScenario(s).play(); }

}  // namespace testing_support
