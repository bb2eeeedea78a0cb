#include <gtest/gtest.h>

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
