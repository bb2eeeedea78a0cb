#include "agent/agent_cache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

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
