#include "launcher/shell_command.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "test_support.h"

using namespace testing_support;

TEST(QuoteArgument, KeepsOrdinaryTextDoubleQuotesBlanksSingleQuotesTheRest) {
  EXPECT_EQ(quoteArgument(""), "");
  EXPECT_EQ(quoteArgument("/tmp/qzAb12Cd/bundle.zip"), "/tmp/qzAb12Cd/bundle.zip");
  EXPECT_EQ(quoteArgument("--name=x,y:z@%+!^"), "--name=x,y:z@%+!^");
  EXPECT_EQ(quoteArgument("a b"), "\"a b\"");
  EXPECT_EQ(quoteArgument("a\tb"), "\"a\tb\"");
  EXPECT_EQ(quoteArgument("a \"b"), "'a \"b'");
  EXPECT_EQ(quoteArgument("it's $(x)"), "'it'\\''s $(x)'");
  EXPECT_EQ(quotePath("-x/a b"), "\"./-x/a b\"");  // never read as an option
  EXPECT_EQ(quotePath("/a/-x"), "/a/-x");
}

// Whatever the text, the shell must read back exactly its bytes as one word.
TEST(QuoteArgument, ShellReadsBackExactlyOneWord) {
  TemporaryDirectory directory;
  for (std::string text :
       {"a b", "a\tb", "--dir=/opt/a b;reboot", "setup $(touch x).run", "`touch x`", "\"q\" \\b\\",
        "it's", "new\nline", "*", "~root", "#c", "{a,b}", "a|b&c<d>e", "caf\xc3\xa9 \xff"}) {
    int status = runShellCommand("cd " + directory.path() + " && printf '%s|' " +
                                 quoteArgument(text) + " > words");
    ASSERT_EQ(status, 0) << text;
    EXPECT_EQ(readFile(directory.file("words")), text + "|") << text;
  }
  EXPECT_FALSE(pathExists(directory.file("x")));
}

TEST(RunShellCommand, ReturnsTheRawWaitStatus) {
  EXPECT_EQ(runShellCommand("exit 0"), 0);
  EXPECT_EQ(shellExitCode(runShellCommand("exit 9")), 9);
  int killed = runShellCommand("kill -KILL $$");
  EXPECT_EQ(killed & 0x7f, SIGKILL);
  EXPECT_EQ(shellExitCode(killed), -1);
  EXPECT_EQ(shellExitCode(-1), -1);
}

// One exec string holds at most 128 KiB with its NUL: a longer command line
// is not run at all rather than "run" with the shell's status 127.
TEST(RunShellCommand, RefusesALineTooLongForOneExecString) {
  TemporaryDirectory directory;
  std::string command = "touch " + directory.file("ran") + " #";
  std::string longest = command + std::string(131071 - command.size(), 'x');
  EXPECT_EQ(runShellCommand(longest + "x"), -1);
  EXPECT_FALSE(pathExists(directory.file("ran")));
  EXPECT_EQ(runShellCommand(longest), 0);
  EXPECT_TRUE(pathExists(directory.file("ran")));
}
