// The pieces a run from outside cannot pin down: the agent's command line and
// quoting against a real shell, the launcher's own word splitting, the
// cache's trust rules and the exec-string limit.
#include <gtest/gtest.h>

#include "agent/agent_launch.h"
#include "agent/trusted_path.h"
#include "launcher/core/command_words.h"
#include "launcher/core/shell_command.h"
#include "support.h"

using namespace testing_support;
namespace fs = std::filesystem;

// The agent's command line is the one a real shell reads: each word exactly once.
TEST(CommandLines, AgentStartIsExactlyTheseBytes) {
  const char* arguments[] = {"installer", "", "a b", "$(id)", "it's", "x"};
  EXPECT_EQ(agentCommandLine("sh /c/install", "/tmp/qzAbC123", 1, arguments),
            "sh /c/install -installbundle /tmp/qzAbC123/bundle.zip");
  EXPECT_EQ(agentCommandLine("sh \"/h/a b/install\"", "/opt/my app", 6, arguments),
            "sh \"/h/a b/install\" -installbundle \"/opt/my app/bundle.zip\" '' \"a b\" '$(id)' "
            "'it'\\''s' x ");
  EXPECT_EQ(agentCommandLine("sh /i", "-d", 1, arguments), "sh /i -installbundle ./-d/bundle.zip");
}

// Whatever the text, sh and bash read back exactly its bytes as one word, in
// a directory holding files that the text would match as a pattern.
TEST(QuoteArgument, ShellsReadBackExactlyOneWord) {
  TemporaryDirectory directory;
  for (const char* name : {"ab", "a b", "b", "a.b", "a|b&c<d>e"})
    writeFile(directory.file(name), "");
  // clang-format off
  const char* texts[] = {"a?", "a[b]", "a*", "[a]b", "a b", "a\tb", "--dir=/opt/a b;reboot",
      "$HOME", "$(touch x)", "`touch x`", "\"q\" \\b\\", "it's", "new\nline", "*", "~root", "#c",
      "{a,b}", "a{.,}b", "a|b&c<d>e", "caf\xc3\xa9 \xff", "a\rb\vc\fd", "--name=x,y:z@%+!^"};
  // clang-format on
  for (const char* shell : {"/bin/sh", "/bin/bash"})
    for (std::string text : texts) {
      ProcessResult result = runProcess(
          {shell, "-c", "cd " + directory.path() + " && printf '%s|' " + quoteArgument(text)});
      EXPECT_EQ(result.standardOutput, text + "|") << shell << " " << text;
    }
  EXPECT_FALSE(pathExists(directory.file("x")));
}

// The launcher's own commands are split into words, never into what a shell would expand.
TEST(SplitCommandWords, RefusesWhatAShellWouldExpandAndKeepsTheRest) {
  for (const char* line :
       {"a $b", "a;b",   "a|b",  "a&b",  "a>b",   "a<b",    "a*",  "a?b",    "a[b",      "~x",
        "#c",   "a (b)", "a{b}", "a`b`", "'open", "\"open", "a\\", "\"$x\"", "\"a`b`\"", "a\nb"})
    EXPECT_FALSE(splitCommandWords(line)) << line;
  std::pair<const char*, std::vector<std::string>> kept[] = {
      {"a\\ b  c", {"a b", "c"}}, {"'a'\"b\"c", {"abc"}}, {"x#y a~ b=c", {"x#y", "a~", "b=c"}},
      {"'' \"\"", {"", ""}},      {"a\\\nb", {"ab"}},     {"\"a\\\"b\\\\c\\d\"", {"a\"b\\c\\d"}},
      {"'it'\\''s'", {"it's"}},   {"  \t", {}},           {"]x !y %z ^w", {"]x", "!y", "%z", "^w"}},
  };
  for (const auto& [line, words] : kept) EXPECT_EQ(splitCommandWords(line), words) << line;
}

// A command line of 128 KiB or more never reaches the shell: the kernel would refuse it.
TEST(RunShellCommand, RefusesALineTooLongForOneExecString) {
  TemporaryDirectory directory;
  // touch makes "ran", then fails on a name too long for any file system.
  std::string command = "touch " + directory.file("ran") + " " + directory.file("");
  std::string longest = command + std::string(131071 - command.size(), 'x');
  EXPECT_EQ(runShellCommand(longest + "x").rawStatus, -1);
  EXPECT_FALSE(pathExists(directory.file("ran")));
  EXPECT_NE(runShellCommand(longest).rawStatus, -1);
  EXPECT_TRUE(pathExists(directory.file("ran")));
}

// Directories a and a/b under a private root; links: a/b by a relative and an
// absolute name, one to itself, a/up to a.
struct PathIsTrusted : testing::Test, TemporaryDirectory {
  const std::string a = file("a"), b = a + "/b";
  PathIsTrusted() {
    fs::create_directories(b);
    for (auto [target, link] : {std::pair{"a/b", file("link")},
                                {b.c_str(), file("abs")},
                                {"loop", file("loop")},
                                {"..", a + "/up"}})
      fs::create_symlink(target, link);
  }
  // Each row: the modes of a and b, b's owner (0: ours), the path asked about
  // and the offender ("" when trusted).
  void expectTrust(std::vector<std::tuple<mode_t, mode_t, uid_t, std::string, std::string>> rows) {
    for (const auto& [aMode, bMode, bOwner, path, offender] : rows) {
      chmod(a.c_str(), aMode);
      chmod(b.c_str(), bMode);
      ASSERT_EQ(chown(b.c_str(), bOwner == 0 ? geteuid() : bOwner, -1), 0);
      std::string found;
      EXPECT_EQ(pathIsTrusted(path, &found), offender.empty()) << path;
      EXPECT_EQ(found, offender) << path << " " << std::oct << aMode << " " << bMode;
    }
  }
};

TEST_F(PathIsTrusted, RefusesWhatAnotherUserCouldChange) {
  // clang-format off
  expectTrust({
      {0755, 0700, 0, b + "/c/d", ""},  // what does not exist yet holds nothing
      {0775, 0700, 0, b + "/c", a},
      {0777, 0700, 0, b, a},
      {01777, 0700, 0, b, ""},          // sticky: others cannot replace b
      {01777, 0700, 0, a, a},           // but the path itself must be closed
      {0755, 0720, 0, b, b},
      {0755, 0720, 0, file("link/c"), file("link")},
      {0755, 0720, 0, file("abs/c"), file("abs")},
      {0755, 0700, 0, file("link/../b/."), ""},
      {0755, 0700, 0, file("loop/c"), file("loop")}});
  // clang-format on
}

TEST_F(PathIsTrusted, RefusesWhatAnotherUserOwns) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  ASSERT_EQ(lchown((a + "/up").c_str(), 65534, -1), 0);
  // clang-format off
  expectTrust({
      {0755, 0700, 65534, b, b},
      {01777, 0700, 65534, b + "/c", b},
      {01777, 0700, 65534, a + "/up", a + "/up"}});  // sticky, but the link is someone else's
  // clang-format on
}
