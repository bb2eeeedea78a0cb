#include "launcher/shell_command.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "test_support.h"

using namespace testing_support;

TEST(QuoteArgument, KeepsOrdinaryTextAndDoubleQuotesBlanks) {
  EXPECT_EQ(quoteArgument("ab"), "ab");
  EXPECT_EQ(quoteArgument(""), "");
  EXPECT_EQ(quoteArgument("/tmp/qzAb12Cd/bundle.zip"), "/tmp/qzAb12Cd/bundle.zip");
  EXPECT_EQ(quoteArgument("--name=x,y:z@%+!^"), "--name=x,y:z@%+!^");
  EXPECT_EQ(quoteArgument("a b"), "\"a b\"");
  EXPECT_EQ(quoteArgument("a\tb"), "\"a\tb\"");
}

TEST(QuoteArgument, SingleQuotesEverythingElse) {
  EXPECT_EQ(quoteArgument("a \"b"), "'a \"b'");
  EXPECT_EQ(quoteArgument("setup $(touch x).run"), "'setup $(touch x).run'");
  EXPECT_EQ(quoteArgument("it's"), "'it'\\''s'");
  EXPECT_EQ(quoteArgument("a\nb"), "'a\nb'");
}

// Whatever the text, the shell must read back exactly its bytes as one word.
TEST(QuoteArgument, ShellReadsBackExactlyOneWord) {
  TemporaryDirectory directory;
  const std::string texts[] = {"plain",
                               "a b",
                               "a\tb",
                               "--dir=/opt/a b;reboot",
                               "setup $(touch x).run",
                               "`touch x`",
                               "\"quoted\" and \\back\\slashed",
                               "it's",
                               "new\nline",
                               "*",
                               "~root",
                               "#not a comment",
                               "{a,b}",
                               "a|b&c<d>e",
                               "caf\xc3\xa9 \xff"};
  for (const std::string& text : texts) {
    std::string output = directory.file("words");
    int status = runShellCommand("cd " + quoteArgument(directory.path()) + " && printf '%s|' " +
                                 quoteArgument(text) + " > words");
    ASSERT_EQ(status, 0) << text;
    EXPECT_EQ(readFile(output), text + "|") << text;
  }
  EXPECT_FALSE(pathExists(directory.file("x")));
}

TEST(RunShellCommand, ReturnsTheRawWaitStatus) {
  EXPECT_EQ(runShellCommand("exit 0"), 0);
  int exited = runShellCommand("exit 9");
  EXPECT_TRUE(WIFEXITED(exited));
  EXPECT_EQ(shellExitCode(exited), 9);
  int killed = runShellCommand("kill -KILL $$");
  EXPECT_EQ(killed & 0x7f, SIGKILL);
  EXPECT_EQ(shellExitCode(killed), -1);
  EXPECT_EQ(shellExitCode(-1), -1);
}
