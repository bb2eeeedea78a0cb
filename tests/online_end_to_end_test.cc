// Installers without an agent inside, run against a test agent server.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "agent_server.h"
#include "installer_fixture.h"

using namespace testing_support;
using testing::ElementsAre;

namespace {

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

  ProcessResult runOnline() {
    return run(installer, {"--yes"},
               {"HOME=" + home, "QZ_INTERNAL_INSTALL_AGENT_URL=" + server.url()});
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
  ProcessResult cold = runOnline();
  EXPECT_EQ(cold.exitStatus, 0) << cold.standardError;
  EXPECT_EQ(cold.standardOutput + cold.standardError, "");
  EXPECT_THAT(server.takeRequests(), ElementsAre("HEAD /agent", "GET /agent"));
  std::string scratch = bundleDirectoryOfLastRun();
  EXPECT_THAT(takeUnzipTargets(), ElementsAre(scratch, cache + "installagent"));
  EXPECT_THAT(readFile(record), testing::EndsWith("/bundle.zip><--yes>"));
  EXPECT_EQ(readFile(cache + ".validatestring"), "ETag: \"v1\"\r");
  struct stat status;
  ASSERT_EQ(stat((home + "/.orvane").c_str(), &status), 0);
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
  std::string data = readFile(agent);
  data[30 + 7 + (data[28] | data[29] << 8) + 2] ^= 1;  // a CRC error in "install"
  server.configure({data});
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

TEST_F(OnlineEndToEnd, AnotherUsersCacheIsNeverTrusted) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a directory to another user needs root";
  std::filesystem::create_directories(cache + "installagent");
  std::string marker = work.file("planted ran");
  writeFile(cache + "installagent/install", "touch '" + marker + "'");
  writeFile(cache + ".validatestring", "ETag: \"v1\"\r");
  std::pair<std::string, std::string> plantings[] = {
      {"chown 65534 '" + cache + "'", cache.substr(0, cache.size() - 1)},
      {"chown 0 '" + cache + "'; chmod o+w '" + home + "/.orvane'", home + "/.orvane"},
      {"chmod o-w '" + home + "/.orvane'; chown -h 65534 '" + cache + "installagent'",
       cache + "installagent"}};
  for (const auto& [plant, unsafePath] : plantings) {
    ASSERT_EQ(system(plant.c_str()), 0);
    ProcessResult result = runOnline();
    EXPECT_EQ(result.exitStatus, 255);
    EXPECT_EQ(result.standardError,
              "Internal Error: The install agent cache is not safe to use - " + unsafePath +
                  " belongs to another user or can be written "
                  "by others.\nFailed to initialize the install agent.\n"
                  "Installation failed.\n");
  }
  EXPECT_FALSE(pathExists(marker));
  EXPECT_TRUE(server.takeRequests().empty());
}

}  // namespace
