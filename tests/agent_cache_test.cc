#include "agent/agent_cache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "test_support.h"

using namespace testing_support;

TEST(InitializeInstallAgent, ReportsAnArchiveThatDoesNotUnpack) {
  TemporaryDirectory directory;
  ASSERT_EQ(mkdir(directory.file("InstallAgent_d.zip").c_str(), 0700), 0);
  EXPECT_EQ(initializeInstallAgent(directory.path(), captureMessage), "");
  EXPECT_EQ(takeCapturedMessages(),
            (std::vector<std::string>{"Failed to unzip the install agent",
                                      "Failed to initialize the install agent."}));
}

TEST(UnzipInstallAgent, QuotesEveryPieceAndRunsNothingForAMissingArchive) {
  TemporaryDirectory directory;
  FakeTools tools;
  tools.add("my unzip", "printf '<%s>' \"$@\" > " + directory.file("log"));
  writeFile(directory.file("a b.zip"), "");
  EXPECT_TRUE(unzipInstallAgent(directory.file("a b.zip"), directory.file("it's"), "my unzip",
                                captureMessage));
  EXPECT_EQ(readFile(directory.file("log")),
            "<-qq><-o><" + directory.file("a b.zip") + "><-d><" + directory.file("it's") + ">");

  EXPECT_FALSE(unzipInstallAgent(directory.file("missing.zip"), directory.path(), "my unzip",
                                 captureMessage));
  EXPECT_TRUE(takeCapturedMessages().empty());
}

// The real unzip reads an archive name as a pattern: a name that holds one
// must open exactly that file, not a neighbour that the pattern matches.
TEST(UnzipInstallAgent, OpensTheArchiveByItsExactName) {
  TemporaryDirectory directory;
  std::pair<std::string, std::string> cases[] = {
      {"agent[12].zip", "agent1.zip"}, {"agent?.zip", "agentX.zip"}, {"agent*.zip", "agent.zip"}};
  for (const auto& [name, neighbour] : cases) {
    makeZip(directory.file(neighbour), {{"install", "wrong"}});
    makeZip(directory.file(name), {{"install", "right"}});
    EXPECT_TRUE(
        unzipInstallAgent(directory.file(name), directory.file("out"), "unzip", captureMessage));
    EXPECT_EQ(readFile(directory.file("out/install")), "right") << name;
    std::filesystem::remove_all(directory.file("out"));
  }
}
