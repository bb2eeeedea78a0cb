#include "agent/agent_launch.h"

#include <gtest/gtest.h>

#include "test_support.h"

using namespace testing_support;

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

TEST(LaunchAgent, AgentReceivesExactlyItsArgumentsAndItsStatusIsIgnored) {
  TemporaryDirectory directory;
  writeFile(directory.file("install"),
            "for a in \"$@\"; do printf '<%s>' \"$a\"; done > \"$(dirname \"$0\")/received\"\n"
            "exit 3\n");
  const char* arguments[] = {"installer",
                             "--dir=/opt/a b;reboot",
                             "",
                             "$(touch pwned)",
                             "`touch pwned`",
                             "it's",
                             "tab\there",
                             "new\nline",
                             "*"};
  std::string head = "sh " + directory.file("install");
  EXPECT_TRUE(launchAgent(head, directory.path(), 9, arguments, captureMessage));
  EXPECT_EQ(readFile(directory.file("received")),
            "<-installbundle><" + directory.file("bundle.zip") +
                "><--dir=/opt/a b;reboot><><$(touch pwned)><`touch pwned`><it's>"
                "<tab\there><new\nline><*>");
  EXPECT_FALSE(pathExists("pwned"));
  EXPECT_TRUE(takeCapturedMessages().empty());
}
