#include "agent/agent_download.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "agent/agent_cache_layout.h"
#include "agent_server.h"
#include "test_support.h"

using namespace testing_support;
using testing::ElementsAre;

namespace {

const std::string advice =
    "Check your internet connectivity, proxy server, firewall, and virus scanner settings and "
    "rerun the installer.";

class AgentDownload : public testing::Test {
 protected:
  void SetUp() override {
    server.configure({"the archive"});
    std::filesystem::create_directories(agentDirectory);  // as the cache route makes it
  }

  bool download(const std::string& path = "/agent") {
    return downloadInstallAgentFrom(server.url(path), destination, captureMessage);
  }
  // A cached agent unpacked from the archive whose ETag line was `validator`.
  void cacheAgent(const std::string& validator) {
    std::filesystem::create_directories(agentDirectory);
    writeFile(agentDirectory + "/install", "echo cached");
    writeFile(cacheDirectory + ".validatestring", validator);
  }
  std::string validatorFile() { return readFile(cacheDirectory + ".validatestring"); }

  TemporaryDirectory home, extraction;
  ScopedEnvironment homeVariable{"HOME", home.path()};
  AgentServer server;
  std::string cacheDirectory = agentCacheDirectory();
  std::string agentDirectory = cacheDirectory + "installagent";
  std::string destination = extraction.file("InstallAgent.zip");
};

TEST_F(AgentDownload, ColdCacheDownloadsAndStoresTheEtagLine) {
  EXPECT_TRUE(download());
  EXPECT_THAT(server.takeRequests(), ElementsAre("HEAD /agent", "GET /agent"));
  EXPECT_EQ(readFile(destination), "the archive");
  EXPECT_EQ(validatorFile(), "ETag: \"v1\"\r");  // the line less its line feed
  EXPECT_FALSE(pathExists(agentDirectory));
  EXPECT_TRUE(takeCapturedMessages().empty());
}

TEST_F(AgentDownload, CurrentAgentCostsOneHeadRequest) {
  cacheAgent("ETag: \"v1\"\r\nanything after the first line");
  EXPECT_TRUE(download());
  EXPECT_THAT(server.takeRequests(), ElementsAre("HEAD /agent"));
  EXPECT_TRUE(pathExists(destination));
  EXPECT_EQ(readFile(destination), "");
  EXPECT_EQ(readFile(agentDirectory + "/install"), "echo cached");
}

TEST_F(AgentDownload, StaleOrUnprovenAgentIsReplaced) {
  std::string longTag = "\"" + std::string(100, 'a');
  struct {
    std::string cachedValidator, etagName, etag, stored;
  } cases[] = {
      {"ETag: \"v0\"\r", "ETag", "\"v1\"", "ETag: \"v1\"\r"},
      {"ETag: \"v1\"\r", "etag", "\"v1\"", "etag: \"v1\"\r"},  // letter case counts
      {"ETag: " + longTag + "1\"\r", "ETag", longTag + "2\"", "ETag: " + longTag + "2\"\r"},
      {"ETag: \"v1\"\r", "ETag", "", "ETag: \"v1\"\r"},  // no ETag: kept, never matches
  };
  for (const auto& c : cases) {
    cacheAgent(c.cachedValidator);
    server.configure({"new archive", c.etagName, c.etag});
    EXPECT_TRUE(download()) << c.etag;
    EXPECT_THAT(server.takeRequests(), ElementsAre("HEAD /agent", "GET /agent"));
    EXPECT_EQ(readFile(destination), "new archive");
    EXPECT_EQ(validatorFile(), c.stored);
    EXPECT_FALSE(pathExists(agentDirectory));
  }
  // A validator file alone proves nothing: without the agent it downloads again.
  EXPECT_TRUE(download());
  EXPECT_THAT(server.takeRequests(), ElementsAre("HEAD /agent", "GET /agent"));
}

TEST_F(AgentDownload, RedirectsAreFollowedAndTheLastEtagWins) {
  EXPECT_TRUE(download("/redirect"));
  EXPECT_THAT(server.takeRequests(),
              ElementsAre("HEAD /redirect", "HEAD /agent", "GET /redirect", "GET /agent"));
  EXPECT_EQ(validatorFile(), "ETag: \"v1\"\r");

  EXPECT_FALSE(download("/loop"));
  EXPECT_EQ(server.takeRequests().size(), 31u);
  EXPECT_THAT(takeCapturedMessages(),
              ElementsAre("Error: Download process failed - Number of redirects hit maximum "
                          "amount\n\n. " +
                          advice));
}

TEST_F(AgentDownload, ErrorAnswersFailWithTheirCodeAndLeaveTheCache) {
  struct {
    int headStatus, getStatus;
    std::string message;
  } cases[] = {
      {404, 200, "Could not reach the download server. " + advice},
      {500, 200, "Error: Download process failed. Received an HTTP code: 500. " + advice},
      {200, 404, "Could not reach the download server. " + advice},
  };
  for (const auto& c : cases) {
    cacheAgent("ETag: \"v0\"\r");
    server.configure({"archive", "ETag", "\"v1\"", c.headStatus, c.getStatus});
    EXPECT_FALSE(download());
    EXPECT_THAT(takeCapturedMessages(), ElementsAre(c.message));
    EXPECT_EQ(validatorFile(), "ETag: \"v0\"\r");
    EXPECT_EQ(pathExists(agentDirectory), c.headStatus >= 400);  // removed only before a GET
  }
  server.configure({"archive", "ETag", "\"v1\"", 304});  // below 400 is no failure
  EXPECT_TRUE(download());
  EXPECT_EQ(server.takeRequests().back(), "GET /agent");
}

TEST_F(AgentDownload, TransferFailuresKeepTheOldValidator) {
  cacheAgent("ETag: \"v0\"\r");
  server.configure({std::string(100000, 'z')});
  EXPECT_FALSE(download("/broken"));
  std::string partial = readFile(destination);
  EXPECT_GT(partial.size(), 0u);
  EXPECT_LT(partial.size(), 100000u);
  EXPECT_EQ(validatorFile(), "ETag: \"v0\"\r");
  EXPECT_FALSE(pathExists(agentDirectory));

  destination = "/dev/full";
  EXPECT_FALSE(download());
  destination = extraction.file("missing/InstallAgent.zip");
  EXPECT_FALSE(download());
  auto failed = [](std::string text) { return "Error: Download process failed - " + text; };
  EXPECT_THAT(takeCapturedMessages(),
              ElementsAre(testing::StartsWith(failed("Transferred a partial file\n\n. " + advice)),
                          failed("Failed writing received data to disk/application\n\n. " + advice),
                          "Internal Error: Failed to create local download cache - No such file or "
                          "directory.\n\nPlease rerun the installer."));
  EXPECT_THAT(server.takeRequests(),
              ElementsAre("HEAD /broken", "GET /broken", "HEAD /agent", "GET /agent"));
}

TEST(DownloadInstallAgent, TakesTheUrlFromTheEnvironmentEvenWhenEmpty) {
  TemporaryDirectory extraction;
  // Only http and https are fetched, whatever else the library could do.
  std::pair<std::string, std::string> cases[] = {
      {"", "URL using bad/illegal format or missing URL"},
      {"file:///etc/hostname", "Unsupported protocol"}};
  for (const auto& [value, text] : cases) {
    ScopedEnvironment url{"QZ_INTERNAL_INSTALL_AGENT_URL", value};
    EXPECT_FALSE(downloadInstallAgent(extraction.file("a.zip"), captureMessage));
    EXPECT_THAT(takeCapturedMessages(), ElementsAre(testing::HasSubstr(text)));
  }
}

}  // namespace
