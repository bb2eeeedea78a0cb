// Installers without an agent inside, run against a test agent server.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

#include "agent_server.h"
#include "installer_fixture.h"

using namespace testing_support;
using testing::ElementsAre;

namespace {

// Accepts connections on a loopback port, reads the request and closes each
// connection without an answer.
class HangUpServer {
 public:
  HangUpServer() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd_, reinterpret_cast<sockaddr*>(&address), length);
    listen(fd_, 8);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
      for (int connection; (connection = accept(fd_, nullptr, nullptr)) >= 0; close(connection)) {
        char request[4096];  // read first: closing over unread data would reset the connection
        recv(connection, request, sizeof request, 0);
      }
    });
  }
  ~HangUpServer() {
    shutdown(fd_, SHUT_RDWR);  // ends the accept() above
    thread_.join();
    close(fd_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/agent"; }

 private:
  int fd_ = socket(AF_INET, SOCK_STREAM, 0);
  int port_ = 0;
  std::thread thread_;
};

class OnlineEndToEnd : public EndToEnd {
 protected:
  void SetUp() override {
    EndToEnd::SetUp();
    pack(installer, "");
    server.configure({readFile(agent)});
    // Logs every unzip run (its last word is the target), then runs the real one.
    tools.add("unzip",
              "for a; do d=$a; done; echo \"$d\" >> " + unzipLog + "\nexec /usr/bin/unzip \"$@\"");
  }

  ProcessResult runOnline(const std::string& url = "") {
    return run(
        installer, {"--yes"},
        {"HOME=" + home, "QZ_INTERNAL_INSTALL_AGENT_URL=" + (url.empty() ? server.url() : url)});
  }
  // The targets of the unzip runs since the last call.
  std::vector<std::string> takeUnzipTargets() {
    std::istringstream log(readFile(unzipLog));
    unlink(unzipLog.c_str());
    std::vector<std::string> targets;
    for (std::string line; std::getline(log, line);) targets.push_back(line);
    return targets;
  }

  AgentServer server;
  FakeTools tools;
  std::string home = work.file("my home"), unzipLog = work.file("unzip.log");
  std::string cache = home + "/.orvane/installagent/T19q7c/hostk64/";
};

TEST_F(OnlineEndToEnd, ColdRunDownloadsWarmRunOnlyAsksChangedAgentIsFetchedAgain) {
  mode_t oldMask = umask(0);  // the cache stays private whatever the umask
  ProcessResult cold = runOnline();
  umask(oldMask);
  EXPECT_EQ(cold.exitStatus, 0) << cold.standardError;
  EXPECT_EQ(cold.standardOutput + cold.standardError, "");
  EXPECT_THAT(server.takeRequests(), ElementsAre("HEAD /agent", "GET /agent"));
  std::string scratch = bundleDirectoryOfLastRun();
  EXPECT_THAT(takeUnzipTargets(), ElementsAre(scratch, cache + "installagent"));
  EXPECT_THAT(readFile(record), testing::EndsWith("/bundle.zip><--yes>"));
  struct stat status;
  ASSERT_EQ(stat((home + "/.orvane").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
  ASSERT_EQ(stat((cache + "installagent").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);

  ASSERT_EQ(runOnline().exitStatus, 0);
  EXPECT_THAT(server.takeRequests(), ElementsAre("HEAD /agent"));
  EXPECT_EQ(takeUnzipTargets().size(), 1u);  // the payload only

  makeZip(work.file("v2.zip"), {{"install", "echo v2 > \"$AGENT_RECORD\""}});
  server.configure({readFile(work.file("v2.zip")), "ETag", "\"v2\""});
  ASSERT_EQ(runOnline().exitStatus, 0);
  EXPECT_THAT(server.takeRequests(), ElementsAre("HEAD /agent", "GET /agent"));
  EXPECT_EQ(readFile(record), "v2\n");
}

TEST_F(OnlineEndToEnd, CorruptArchiveIsReportedAndNotKept) {
  server.configure({corruptAgent()});
  ProcessResult result = runOnline();
  EXPECT_EQ(result.exitStatus, 255);
  EXPECT_THAT(result.standardError,
              testing::EndsWith("Failed to unzip the install agent\nFailed to initialize the "
                                "install agent.\nInstallation failed.\n"));
  EXPECT_FALSE(pathExists(cache + "installagent"));

  server.configure({readFile(agent)});  // same ETag, but nothing cached to trust
  EXPECT_EQ(runOnline().exitStatus, 0);
  EXPECT_THAT(server.takeRequests(),
              ElementsAre("HEAD /agent", "GET /agent", "HEAD /agent", "GET /agent"));
}

TEST_F(OnlineEndToEnd, CtrlCOrAHangUpWhileUnpackingLeavesNothingToTrust) {
  // A terminal signals the whole process group: the launcher, its shell and
  // the tool. Here the tool is an unzip that stops for a while at `target`.
  auto interruptWhileUnpacking = [&](const std::string& target, const std::string& seen,
                                     int signalNumber) {
    tools.add("unzip", "for a; do d=$a; done; echo \"$d\" >> " + unzipLog + "\ncase $d in *" +
                           target + ") sleep 10;; esac\nexec /usr/bin/unzip \"$@\"");
    ChildProcess launcher({"/usr/bin/env", "HOME=" + home,
                           "QZ_INTERNAL_INSTALL_AGENT_URL=" + server.url(), installer});
    waitUntil([&] { return readFile(unzipLog).find(seen) != std::string::npos; });
    kill(-launcher.pid(), signalNumber);
    EXPECT_EQ(launcher.wait().exitStatus, 128 + signalNumber);
    EXPECT_FALSE(pathExists(takeUnzipTargets().at(0)));
  };
  interruptWhileUnpacking("/tmp/qz??????", "/tmp/qz", SIGINT);  // the payload
  EXPECT_TRUE(server.takeRequests().empty());
  interruptWhileUnpacking("installagent", "installagent", SIGHUP);  // the agent, into the cache
  EXPECT_FALSE(pathExists(cache + ".validatestring"));
  tools.add("unzip", "exec /usr/bin/unzip \"$@\"");
  EXPECT_EQ(runOnline().exitStatus, 0);
  EXPECT_THAT(server.takeRequests(),
              ElementsAre("HEAD /agent", "GET /agent", "HEAD /agent", "GET /agent"));
}

TEST_F(OnlineEndToEnd, AHomeThatNeedsQuotingHoldsTheCache) {
  home = work.file("it's \"a\" $(touch pwned) `touch pwned`\n caf\xc3\xa9");
  std::filesystem::create_directory(home);
  EXPECT_EQ(runOnline().exitStatus, 0);
  EXPECT_EQ(runOnline().exitStatus, 0);
  EXPECT_THAT(server.takeRequests(), ElementsAre("HEAD /agent", "GET /agent", "HEAD /agent"));
  EXPECT_TRUE(pathExists(home + "/.orvane/installagent/T19q7c/hostk64/installagent/install"));
  EXPECT_FALSE(pathExists("pwned"));
}

// A HOME of "-x" puts the cache at "-x/..." in the working directory: no
// tool may read that path as options, the removal of a stale agent included.
TEST_F(OnlineEndToEnd, PathsThatBeginWithADashAreNoOptions) {
  auto runInWork = [&] {
    return runProcess({"/usr/bin/env", "-C", work.path(), "AGENT_RECORD=" + record, "HOME=-x",
                       "QZ_INTERNAL_INSTALL_AGENT_URL=" + server.url(), installer});
  };
  makeZip(agent, {{"install", agentScript}, {"stale", ""}});
  server.configure({readFile(agent)});
  EXPECT_EQ(runInWork().exitStatus, 0);
  makeZip(work.file("v2.zip"), {{"install", agentScript}});
  server.configure({readFile(work.file("v2.zip")), "ETag", "\"v2\""});
  ProcessResult second = runInWork();
  EXPECT_EQ(second.exitStatus, 0);
  EXPECT_EQ(second.standardError, "");
  std::string agentDirectory = work.file("-x/.orvane/installagent/T19q7c/hostk64/installagent/");
  EXPECT_TRUE(pathExists(agentDirectory + "install"));
  EXPECT_FALSE(pathExists(agentDirectory + "stale"));
}

TEST_F(OnlineEndToEnd, AgentMembersCannotEscapeTheCache) {
  makeAgentWithMemberNames(agent, {"../../../../../../../.." + work.file("escaped")});
  server.configure({readFile(agent)});
  EXPECT_EQ(runOnline().exitStatus, 0);
  EXPECT_FALSE(pathExists(work.file("escaped")));
}

TEST_F(OnlineEndToEnd, BrokenServersEndTheRunWithTheirMessage) {
  HangUpServer hangUp;
  const std::string failed = "Error: Download process failed - ";
  const std::string advice =
      "\n\n. Check your internet connectivity, proxy server, firewall, and virus scanner settings "
      "and rerun the installer.\nInstallation failed.\n";
  std::pair<std::string, std::string> cases[] = {
      {hangUp.url(), failed + "Server returned nothing (no headers, no data)" + advice},
      // libcurl 7.88 refuses a header over 100 KiB with this text of its own.
      {server.url("/huge-header"), failed + "Out of memory" + advice},
      {server.url(),
       "Failed to unzip the install agent\nFailed to initialize the install agent.\n"
       "Installation failed.\n"}};  // an empty archive
  server.configure({""});
  for (const auto& [url, expected] : cases) {
    ProcessResult result = runOnline(url);
    EXPECT_EQ(result.exitStatus, 255);
    EXPECT_THAT(result.standardError, testing::EndsWith(expected));
    EXPECT_FALSE(pathExists(takeUnzipTargets().at(0)));
  }
}

// A cache with a planted agent that the server's ETag would vouch for, in a
// fresh HOME; true once the planted agent has run.
class PlantedCache : public OnlineEndToEnd {
 protected:
  void plant() {
    home = work.file("home" + std::to_string(++homes));
    cache = home + "/.orvane/installagent/T19q7c/hostk64/";
    std::filesystem::create_directories(cache + "installagent");
    writeFile(cache + "installagent/install", "touch '" + marker + "'");
    writeFile(cache + ".validatestring", "ETag: \"v1\"\r");
  }
  void expectRefused(const std::string& offender) {
    ProcessResult result = runOnline();
    EXPECT_EQ(result.exitStatus, 255);
    EXPECT_EQ(result.standardError,
              "Internal Error: The install agent cache is not safe to use - " + offender +
                  " belongs to another user or can be written by others.\n"
                  "Failed to initialize the install agent.\nInstallation failed.\n");
    EXPECT_FALSE(pathExists(marker));
    EXPECT_TRUE(server.takeRequests().empty());
  }
  std::string marker = work.file("planted ran");
  int homes = 0;
};

TEST_F(PlantedCache, WhatAnotherUserCouldChangeIsNeverTrusted) {
  namespace fs = std::filesystem;
  std::pair<std::function<std::string()>, bool> plantings[] = {
      {[&] {
         fs::permissions(home, fs::perms::group_write, fs::perm_options::add);
         return home;
       },
       false},
      {[&] {
         fs::permissions(home + "/.orvane", fs::perms::others_write, fs::perm_options::add);
         return home + "/.orvane";
       },
       false},
      {[&] {  // a link that would make the next run write elsewhere
         fs::remove(cache + ".validatestring");
         fs::create_symlink(work.file("elsewhere"), cache + ".validatestring");
         return cache + ".validatestring";
       },
       false},
      {[&] {
         fs::create_symlink(work.file("elsewhere"), cache + "installagent.lock");
         return cache + "installagent.lock";
       },
       false},
      {[&] {
         chown(cache.substr(0, cache.size() - 1).c_str(), 65534, 0);
         return cache.substr(0, cache.size() - 1);
       },
       true},
      {[&] {  // a link of ours to a directory of someone else's
         fs::rename(cache + "installagent", cache + "elsewhere");
         fs::create_directory_symlink(cache + "elsewhere", cache + "installagent");
         chown((cache + "elsewhere").c_str(), 65534, 0);
         return cache + "installagent";
       },
       true},
      {[&] {  // the home of another user, with a link into a directory of root's
         fs::remove_all(home + "/.orvane");
         fs::create_directory(work.file("root only"));
         fs::create_directory_symlink(work.file("root only"), home + "/.orvane");
         chown(home.c_str(), 65534, 0);
         return home;
       },
       true},
  };
  for (const auto& [plantAndName, needsRoot] : plantings) {
    if (needsRoot && geteuid() != 0) continue;
    plant();
    expectRefused(plantAndName());
  }
  if (geteuid() == 0) {
    EXPECT_TRUE(fs::is_empty(work.file("root only")));  // nothing made through the link
  } else {
    std::cout << "[ SKIPPED  ] rows that give a directory away need root\n";
  }
}

// Root runs the launcher with the HOME of another user, who swaps root's
// genuine cache for a planted one as fast as the kernel allows.
TEST_F(PlantedCache, ANeighbourSwappingTheCacheNeverGetsThePlantedAgentRun) {
  if (geteuid() != 0) GTEST_SKIP() << "a neighbour of another user id needs root";
  plant();
  std::string genuine = home + "/.orvane", planted = home + "/.planted";
  std::filesystem::rename(genuine, planted);
  ASSERT_EQ(runOnline().exitStatus, 0);  // root's genuine cache, from the server
  ASSERT_EQ(runProcess({"/bin/chown", "-R", "65534", planted, home}).exitStatus, 0);
  server.takeRequests();
  pid_t neighbour = fork();
  if (neighbour == 0) {
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(1);
    for (;;) renameat2(AT_FDCWD, genuine.c_str(), AT_FDCWD, planted.c_str(), RENAME_EXCHANGE);
  }
  for (int run = 0; run < 40; ++run) expectRefused(home);
  kill(neighbour, SIGKILL);
  waitpid(neighbour, nullptr, 0);
}

TEST_F(OnlineEndToEnd, RunsAtOnceShareOneDownloadAndNeverSeeAHalfWrittenAgent) {
  // The agent checks that its 4 MB data file is whole before it says so.
  makeZip(agent, {{"install",
                   "d=$(dirname \"$0\"); s=half; [ $(wc -c < \"$d/data\") = 4000000 ] && s=whole\n"
                   "printf '<%s><%s>' $s \"$3\" > \"$AGENT_RECORD\""},
                  {"data", std::string(4000000, 'd')}});
  server.configure({readFile(agent)});
  for (size_t expectedGets : {1, 0}) {  // a cold cache, then a warm one
    std::vector<std::unique_ptr<ChildProcess>> runs;
    for (int i = 0; i < 8; ++i)
      runs.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{
          "/usr/bin/env", "HOME=" + home, "QZ_INTERNAL_INSTALL_AGENT_URL=" + server.url(),
          "AGENT_RECORD=" + work.file("record" + std::to_string(i)), installer,
          "run" + std::to_string(i)}));
    for (int i = 0; i < 8; ++i) {
      ProcessResult result = runs[i]->wait();
      EXPECT_EQ(result.exitStatus, 0) << result.standardError;
      EXPECT_EQ(readFile(work.file("record" + std::to_string(i))),
                "<whole><run" + std::to_string(i) + ">");
    }
    std::vector<std::string> requests = server.takeRequests();
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "HEAD /agent"), 8);
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "GET /agent"), expectedGets);
  }
  std::vector<std::string> entries;
  for (const auto& entry : std::filesystem::directory_iterator(cache))
    entries.push_back(entry.path().filename());
  std::sort(entries.begin(), entries.end());
  EXPECT_THAT(entries, ElementsAre(".validatestring", "installagent", "installagent.lock"));
}

TEST_F(OnlineEndToEnd, InterruptedRunsRemoveTheirScratchDirectoryAndEndByTheSignal) {
  server.configure({std::string(100000, 'z')});  // trickles for half an hour
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
    ChildProcess launcher({"/usr/bin/env", "HOME=" + home,
                           "QZ_INTERNAL_INSTALL_AGENT_URL=" + server.url("/slow"), installer});
    waitUntil([&] {
      std::vector<std::string> requests = server.takeRequests();
      return std::find(requests.begin(), requests.end(), "GET /slow") != requests.end();
    });
    kill(launcher.pid(), signalNumber);
    EXPECT_EQ(launcher.wait().exitStatus, 128 + signalNumber);
    std::vector<std::string> targets = takeUnzipTargets();
    ASSERT_EQ(targets.size(), 1u);
    EXPECT_FALSE(pathExists(targets[0]));
  }
  // While the agent runs it keeps its bundle: the signal takes effect after it.
  makeZip(agent, {{"install",
                   "touch \"$AGENT_RECORD.started\"; sleep 1; cat \"$2\" > \"$AGENT_RECORD\""}});
  server.configure({readFile(agent)});
  ChildProcess launcher({"/usr/bin/env", "HOME=" + home, "AGENT_RECORD=" + record,
                         "QZ_INTERNAL_INSTALL_AGENT_URL=" + server.url(), installer});
  waitUntil([&] { return pathExists(record + ".started"); });
  kill(launcher.pid(), SIGTERM);
  EXPECT_EQ(launcher.wait().exitStatus, 128 + SIGTERM);
  EXPECT_EQ(readFile(record), readFile(bundle));
}

}  // namespace
