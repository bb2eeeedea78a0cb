#include "agent/agent_cache_layout.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "test_support.h"

using namespace testing_support;

TEST(AgentCacheDirectory, FollowsHomeOnEveryCall) {
  const std::string relative = ".orvane/installagent/T19q7c/hostk64/";
  std::pair<std::optional<std::string>, std::string> cases[] = {{"/home/u", "/home/u/" + relative},
                                                                {"/home/u/", "/home/u/" + relative},
                                                                {"/", "/" + relative},
                                                                {"", "/tmp/" + relative},
                                                                {std::nullopt, "/tmp/" + relative}};
  for (const auto& [home, expected] : cases) {
    ScopedEnvironment variable("HOME", home);
    EXPECT_EQ(agentCacheDirectory(), expected);
  }
  EXPECT_EQ(agentStartScriptPath("/x"), "/x/install");
  EXPECT_EQ(agentStartScriptPath("/x/"), "/x/install");
  EXPECT_EQ(agentStartScriptPath(""), "install");
}

TEST(CachedAgentDirectory, NeedsAStartScriptThatExists) {
  TemporaryDirectory home;
  ScopedEnvironment variable("HOME", home.path());
  std::string agent = agentCacheDirectory() + "installagent/";
  std::filesystem::create_directories(agent);
  EXPECT_EQ(cachedAgentDirectory(), "");
  ASSERT_EQ(symlink("nowhere", (agent + "install").c_str()), 0);
  EXPECT_EQ(cachedAgentDirectory(), "");
  std::filesystem::remove(agent + "install");
  writeFile(agent + "install", "");
  EXPECT_EQ(cachedAgentDirectory(), agent);
}
