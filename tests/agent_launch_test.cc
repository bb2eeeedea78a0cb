#include "agent/agent_launch.h"

#include <gtest/gtest.h>

TEST(AgentCommandLine, HasTheBundleOptionAndOneBlankAfterEachArgument) {
  const char* none[] = {"installer"};
  EXPECT_EQ(agentCommandLine("sh /c/install", "/tmp/qzAbC123", 1, none),
            "sh /c/install -installbundle /tmp/qzAbC123/bundle.zip");
  const char* two[] = {"installer", "x", "y"};
  EXPECT_EQ(agentCommandLine("sh /c/install", "/tmp/qzAbC123/", 3, two),
            "sh /c/install -installbundle /tmp/qzAbC123//bundle.zip x y ");
  const char* hostile[] = {"installer", "", "a b", "$(id)"};
  EXPECT_EQ(
      agentCommandLine("sh \"/home/a b/install\"", "/opt/my app", 4, hostile),
      "sh \"/home/a b/install\" -installbundle \"/opt/my app/bundle.zip\" '' \"a b\" '$(id)' ");
}
