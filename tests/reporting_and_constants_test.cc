#include <gtest/gtest.h>

#include "launcher/build_constants.h"
#include "launcher/message_reporter.h"

using namespace std::string_literals;

TEST(ReportToConsole, WritesTheWholeMessageAndOneNewline) {
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  reportToConsole("", true);
  reportToConsole("two\n\nlines with a NUL \0 inside"s, true);
  reportToConsole("to standard output", false);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "to standard output\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "\ntwo\n\nlines with a NUL \0 inside\n"s);
}

TEST(BuildConstants, ComposeTheUrlAndTheCachePath) {
  EXPECT_EQ(agentCacheRelativePath, ".orvane/installagent/T19q7c/hostk64/");
  EXPECT_EQ(defaultAgentUrl, std::string(QZ_AGENT_SERVER) + "/pi_install_agent_pi_T19q7c_hostk64");
  EXPECT_EQ(defaultAgentUrl.substr(0, 7), "http://");
}
