// One end-to-end run as data: the installer and the server's answers, the
// environment and arguments, then what the user sees and what is left. In
// every text, WORK stands for the run's directory, SCRATCH for the scratch
// directory it used, HTTPS and HTTP for the servers' URLs (ALIAS for HTTPS
// by an address its certificate does not name), CA and OTHERCA for
// certificate files.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <regex>

#include "support.h"

namespace testing_support {

inline const std::string launcher = QZ_LAUNCHER_PATH, packer = QZ_PACKER_PATH;
// A launcher that trusts the build's test key, whose private half signs here.
inline const std::string signedLauncher = QZ_SIGNED_LAUNCHER_PATH, signingKey = QZ_AGENT_PRIVATE_KEY, signer = QZ_SIGNER_PATH;
inline const std::string cacheRelative = ".orvane/installagent/T19q7c/hostk64/";
// The signed launcher's own cache, named for the test key by openssl's reckoning.
inline const std::string signedCacheRelative = ".orvane/installagent/T19q7c/hostk64-" + runProcess({"/bin/sh", "-c",
    "openssl pkey -pubin -in \"$0\" -outform DER | sha256sum", QZ_AGENT_PUBLIC_KEY}).standardOutput.substr(0, 16) + "/";
// Writes its arguments, each in <>, to $AGENT_RECORD, keeps a copy of the
// bundle it was given, and ends with a status of its own.
inline const std::string sampleAgent = "printf '<%s>' \"$@\" ${UNZIP+\"UNZIP=$UNZIP\"} ${UNZIPOPT+\"UNZIPOPT=$UNZIPOPT\"} > "
                                       "\"$AGENT_RECORD\"\ncp \"$2\" \"$AGENT_RECORD.bundle\"\nexit 7\n";
inline const std::string realUnzip = "exec /usr/bin/unzip \"$@\"";
inline const std::string cannotUnpack = "Internal error: Failed to initialize application installer (201)\nInstallation failed.\n";
// What follows a failed download, and how its message starts.
inline const std::string advice = "\n\n. Check your internet connectivity, proxy server, firewall, and virus scanner settings and rerun the installer."
                                  "\nInstallation failed.\n", failed = "...Error: Download process failed - ";
inline const std::string cannotUnzipAgent = "Failed to unzip the install agent\nFailed to initialize the install agent.\nInstallation failed.\n";

// One answer of the server: the status line's code, header lines, and the
// body, where AGENT stands for the agent archive, CORRUPT for it with one bit
// flipped, and "MANIFEST n [FILE]" and "FOREIGN n" for the manifest of
// version n of the archive (or FILE) by the test key and by another one.
struct Answer {
  std::string request = "/agent";
  int status = 200;
  std::string headers = "ETag: \"v1\"\r\n";
  std::string body = "AGENT";
  bool trickle = false;
};

struct Paths { std::string work, home, cache, installer; };

struct Scenario {
  std::string name{};
  // The installer, the cache it meets and the server.
  bool bundledAgent = false, signedLauncher = false;
  std::string agent = sampleAgent;  // the agent archive's start script
  std::string installer = "setup.run";
  // "name=content" files (a name ending in "/" is a directory) planted in the cache.
  std::vector<std::string> cacheBefore{};
  std::function<void(const Paths&)> prepare{};  // anything more
  std::vector<Answer> answers = {Answer{}};
  // How it runs: "NAME=value" or "-NAME" to unset; the unzip on PATH runs
  // this after logging its arguments; a shell line runs first (as root, in a
  // mount namespace of its own).
  std::vector<std::string> environment{}, arguments{};
  std::string unzip = realUnzip;
  std::string shellFirst{};
  bool needsRoot = false;
  // An interruption: the signal (to the whole group as a terminal sends it,
  // SIGTERM to the launcher alone) once the server saw the request
  // `interruptAfter`, or the file it names is not empty, or without it once
  // WORK/started exists.
  int interrupt = 0;
  std::string interruptAfter{};
  // What it leaves. standardError is exact, or only its end after "...".
  std::string standardError{};
  int exitCode = 0, signal = 0;
  std::vector<std::string> requests = {"HEAD /agent", "GET /agent"};
  std::string agentSaw = "<-installbundle><SCRATCH/bundle.zip>";  // "" when it never ran
  // The tools run, "unzip ARGS" and "rm ARGS"; not checked when empty.
  std::vector<std::string> tools{};
  // Every file (and empty directory, with "/") under the cache, sorted, the
  // validator with its content, the manifest with its version line.
  std::vector<std::string> cache = {".validatestring=ETag: \"v1\"\r", "installagent.lock",
                                    "installagent/install"};
};

inline std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; !from.empty() && (at = text.find(from, at)) != std::string::npos; at += to.size()) text.replace(at, from.size(), to);
  return text;
}

namespace fs = std::filesystem;

// Makes WORK/bundle.zip and WORK/agent.zip of `agent`'s members, then packs
// `image` and them into `installer`, with the agent only when `offline`.
inline bool packInstaller(const std::string& work, const std::string& installer,
                          const std::vector<std::pair<std::string, std::string>>& agent, bool offline,
                          const std::string& image = launcher) {
  makeZip(work + "/bundle.zip", {{"product/readme.txt", "the product"}});
  makeZip(work + "/agent.zip", agent);
  fs::create_directories(fs::path(installer).parent_path());
  std::vector<std::string> argv = {packer, image, work + "/bundle.zip", installer};
  if (offline) argv.insert(argv.begin() + 1, {"--agent", work + "/agent.zip"});
  return runProcess(argv).exitCode == 0;
}

// Every entry under `directory` as the Scenario's `cache` lists them.
inline std::vector<std::string> listCache(const std::string& directory) {
  std::vector<std::string> entries;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(directory, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    std::string name = fs::relative(it->path(), directory).string();
    bool link = it->is_symlink(), directory = !link && it->is_directory();
    if (!directory || fs::is_empty(it->path()))
      entries.push_back(name + (link ? "@" : directory ? "/" : name == ".validatestring" ? "=" + readFile(it->path()) : ""));
    std::istringstream manifest(name == ".agentmanifest" && !link ? readFile(it->path()) : "");
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
    if (name.back() == '/') continue;
    writeFile(cache + name, file.substr(name.size() + 1), name == "installagent/install" ? 0755 : 0644);
  }
}

// The manifest that sign-agent writes for `file`, by `key` or by a key made on the spot.
inline std::string manifest(const std::string& file, const std::string& version, const std::string& key = "") {
  std::string made = file + ".key";
  if (key.empty()) runProcess({"/usr/bin/openssl", "genpkey", "-algorithm", "ed25519", "-out", made});
  runProcess({signer, "--key", key.empty() ? made : key, "--version", version, file});
  return readFile(file + ".sig");
}

// Plays one scenario; failures are reported under its name.
inline void playScenario(const Scenario& s, ScriptedServer& server, std::unique_ptr<TlsFront>& tls) {
  SCOPED_TRACE(s.name);
  if (s.needsRoot && geteuid() != 0) return void(std::cout << "[ SKIPPED  ] " << s.name << ": needs root\n");
  TemporaryDirectory work, fakes;
  std::string home = work.file("home");
  auto expand = [&](std::string text) {
    bool secure = text.find("HTTPS") != std::string::npos || text.find("ALIAS") != std::string::npos;
    if (secure && !tls) tls = std::make_unique<TlsFront>(portOf(server.url()));
    if (tls) text = replaceAll(replaceAll(text, "OTHERCA", tls->otherCa()), "CA", tls->ca());
    if (tls) text = replaceAll(replaceAll(text, "HTTPS", tls->url()), "ALIAS", tls->url("127.0.0.2"));
    return replaceAll(replaceAll(text, "HTTP", server.url()), "WORK", work.path());
  };
  for (const std::string& variable : s.environment)
    if (variable.rfind("HOME=", 0) == 0) home = expand(variable.substr(5));
  if (home[0] != '/') home = work.file(home);
  Paths paths{work.path(), home, home + "/" + (s.signedLauncher ? signedCacheRelative : cacheRelative), expand("WORK/" + s.installer)};

  // The installer and the cache it meets.
  ASSERT_TRUE(packInstaller(work.path(), paths.installer, {{"install", s.agent}}, s.bundledAgent, s.signedLauncher ? signedLauncher : launcher));
  fs::create_directories(home);
  plant(paths.cache, s.cacheBefore);
  if (s.prepare) s.prepare(paths);
  server.reset();
  std::string agent = readFile(work.file("agent.zip")), corrupt = agent;
  corrupt[30 + 7 + (agent[28] | agent[29] << 8) + 2] ^= 1;  // one bit of "install" flipped: a CRC error
  for (const Answer& a : s.answers) {
    std::string body = a.body, kind, version, file = "WORK/agent.zip";
    std::istringstream(body) >> kind >> version >> file;
    if (kind == "MANIFEST" || kind == "FOREIGN") body = manifest(expand(file), version, kind == "MANIFEST" ? signingKey : "");
    body = replaceAll(replaceAll(body, "CORRUPT", corrupt), "AGENT", agent);
    server.answer(expand(a.request), "HTTP/1.1 " + std::to_string(a.status) +
                      " X\r\n" + expand(a.headers) + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body, a.trickle);
  }
  std::string log = work.file("tools.log");
  writeFile(fakes.file("unzip"), "#!/bin/sh\necho \"unzip $*\" >> " + log + "\n" + s.unzip + "\n", 0755);
  writeFile(fakes.file("rm"), "#!/bin/sh\necho \"rm $*\" >> " + log + "\nexec /bin/rm \"$@\"\n", 0755);

  // The run, in a clean environment of the host's.
  std::vector<std::string> argv = {"/usr/bin/env", "-C", work.path(), "-u", "SSL_CERT_FILE", "-u", "SSL_CERT_DIR", "-u", "http_proxy",
      "-u", "ALL_PROXY", "-u", "NO_PROXY", "-u", "UNZIP", "HOME=" + home, "PATH=" + fakes.path() + ":" + getenv("PATH"),
      "AGENT_RECORD=" + work.file("record"), "MARK=" + work.file("started"), "QZ_INTERNAL_INSTALL_AGENT_URL=" + server.url() + "/agent"};
  for (const std::string& variable : s.environment) {
    if (variable[0] != '-') argv.push_back(expand(variable));
    if (variable[0] == '-') argv.erase(std::find_if(argv.begin(), argv.end(), [&](const std::string& a) { return a.rfind(variable.substr(1) + "=", 0) == 0; }));
    if (variable[0] == '-') argv.insert(argv.begin() + 1, {"-u", variable.substr(1)});
  }
  argv.push_back(paths.installer);
  for (const std::string& argument : s.arguments) argv.push_back(expand(argument));
  if (!s.shellFirst.empty())
    argv.insert(argv.begin(), {"/bin/sh", "-c", expand(s.shellFirst) + " && exec \"$@\"", "sh"});
  if (s.needsRoot) argv.insert(argv.begin(), {"/usr/bin/unshare", "-m"});
  ChildProcess child(argv);
  if (s.interrupt != 0) {
    waitUntil([&] {
      if (s.interruptAfter.empty()) return pathExists(work.file("started"));
      if (s.interruptAfter.rfind("WORK/", 0) == 0) return !readFile(expand(s.interruptAfter)).empty();
      return std::ranges::count(server.takeRequests(), s.interruptAfter) > 0;
    });
    kill(s.interrupt == SIGTERM ? child.pid() : -child.pid(), s.interrupt);
  }
  ProcessResult result = child.wait();

  // What the user saw and what is left, with the run's own paths named.
  std::string all = readFile(log) + readFile(work.file("record")) + result.standardError;
  std::smatch found;
  std::string scratch = std::regex_search(all, found, std::regex("/tmp/qz[A-Za-z0-9]{6}")) ? found[0].str() : "";
  auto named = [&](std::string text) {
    return replaceAll(replaceAll(text, work.path(), "WORK"), scratch.empty() ? "\1" : scratch, "SCRATCH");
  };
  EXPECT_EQ(result.exitCode, s.signal == 0 ? s.exitCode : -1);
  EXPECT_EQ(result.signal, s.signal);
  if (s.standardError.rfind("...", 0) == 0)
    EXPECT_THAT(named(result.standardError), testing::EndsWith(s.standardError.substr(3)));
  else
    EXPECT_EQ(named(result.standardError), s.standardError);
  EXPECT_EQ(result.standardOutput, "");
  if (s.interrupt == 0) {
    EXPECT_EQ(server.takeRequests(), s.requests);
  }
  EXPECT_EQ(named(readFile(work.file("record"))), s.agentSaw);
  if (pathExists(work.file("record.bundle")) && s.unzip == realUnzip) {
    EXPECT_EQ(readFile(work.file("record.bundle")), readFile(work.file("bundle.zip")));
  }
  std::string tools;
  for (const std::string& line : s.tools) tools += line + "\n";
  EXPECT_EQ(s.tools.empty() ? "" : named(readFile(log)), tools);
  std::vector<std::string> cache = listCache(paths.cache);
  for (std::string& entry : cache) entry = replaceAll(entry, work.path().substr(1), "WORK");
  EXPECT_EQ(cache, s.cache);
  EXPECT_FALSE(!scratch.empty() && pathExists(scratch)) << scratch;
  EXPECT_FALSE(pathExists(work.file("pwned")));
  bool made = result.exitCode == 0 && s.cacheBefore.empty() && fs::exists(paths.cache);  // by the run, under its umask
  for (std::string d = paths.cache; made && d.size() > home.size(); d = fs::path(d).parent_path())
    EXPECT_EQ(fs::status(d).permissions() & fs::perms::all, fs::perms::owner_all) << d;
}


}  // namespace testing_support
