// The pieces a run from outside cannot pin down: exact command lines, quoting
// against a real shell, the cache's trust rules and the exec-string limit.
#include <gtest/gtest.h>

#include "agent/agent_launch.h"
#include "agent/trusted_path.h"
#include "launcher/core/shell_command.h"
#include "launcher/core/tool_commands.h"
#include "payload/scratch_directory.h"
#include "support.h"

using namespace testing_support;
namespace fs = std::filesystem;

TEST(CommandLines, AreExactlyTheseBytes) {
  const char* arguments[] = {"installer", "", "a b", "$(id)", "it's", "x"};
  std::pair<std::string, std::string> cases[] = {
      {unzipCommandLine("-qq", "/tmp/a/setup.run", "/tmp/qzAb12Cd"),
       "unzip -qq /tmp/a/setup.run -d /tmp/qzAb12Cd"},
      {unzipCommandLine("-qq", "/a b/s[1]*?.run", "-x/my dir"),
       "unzip -qq '/a b/s[1]*?.run' -d \"./-x/my dir\""},
      {unzipCommandLine("-qq -o", "/d[1]/InstallAgent_?.zip", "/t"),
       "unzip -qq -o '/d[1]/InstallAgent_?.zip' -d /t"},
      {unzipCommandLine("-qq -o", "/c/InstallAgent.zip", "/h/it's"),
       "unzip -qq -o /c/InstallAgent.zip -d '/h/it'\\''s'"},
      {agentCommandLine("sh /c/install", "/tmp/qzAbC123", 1, arguments),
       "sh /c/install -installbundle /tmp/qzAbC123/bundle.zip"},
      {agentCommandLine("sh \"/h/a b/install\"", "/opt/my app", 6, arguments),
       "sh \"/h/a b/install\" -installbundle \"/opt/my app/bundle.zip\" '' \"a b\" '$(id)' "
       "'it'\\''s' x "},
      {agentCommandLine("sh /i", "-d", 1, arguments), "sh /i -installbundle ./-d/bundle.zip"},
      {scratchRemovalCommandLine("/tmp/qzAb12Cd"), "rm -rf /tmp/qzAb12Cd"},
      {scratchRemovalCommandLine("/opt/my app/qzAb12Cd"), "rm -rf \"/opt/my app/qzAb12Cd\""},
      {removalCommandLine("/h/installagent"), "rm -rf '/h/installagent'"},
      {removalCommandLine("-x/it's a b"), "rm -rf './-x/it'\\''s a b'"},
      {quoteArgument("--name=x,y:z@%+!^"), "--name=x,y:z@%+!^"},
      {quoteArgument("a\tb"), "\"a\tb\""},
      {quoteArgument("a \"b"), "'a \"b'"},
  };
  for (const auto& [actual, expected] : cases) EXPECT_EQ(actual, expected);
}

// Whatever the text, sh and bash read back exactly its bytes as one word, in
// a directory holding files that the text would match as a pattern.
TEST(QuoteArgument, ShellsReadBackExactlyOneWord) {
  TemporaryDirectory directory;
  for (const char* name : {"ab", "a b", "b", "a.b", "a|b&c<d>e"})
    writeFile(directory.file(name), "");
  for (const char* shell : {"/bin/sh", "/bin/bash"}) {
    for (std::string text : {"a?",
                             "a[b]",
                             "a*",
                             "[a]b",
                             "a b",
                             "a\tb",
                             "--dir=/opt/a b;reboot",
                             "$HOME",
                             "$(touch x)",
                             "`touch x`",
                             "\"q\" \\b\\",
                             "it's",
                             "new\nline",
                             "*",
                             "~root",
                             "#c",
                             "{a,b}",
                             "a{.,}b",
                             "a|b&c<d>e",
                             "caf\xc3\xa9 \xff",
                             "a\rb\vc\fd"}) {
      ProcessResult result = runProcess(
          {shell, "-c", "cd " + directory.path() + " && printf '%s|' " + quoteArgument(text)});
      EXPECT_EQ(result.standardOutput, text + "|") << shell << " " << text;
    }
  }
  EXPECT_FALSE(pathExists(directory.file("x")));
}

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

// Directories a and a/b under a private root, with the modes (and, as root,
// owners) of each row; the path asked about and the offender ("" when trusted).
TEST(PathIsTrusted, RefusesWhatAnotherUserCouldChange) {
  TemporaryDirectory root;
  const std::string a = root.file("a"), b = a + "/b";
  fs::create_directories(b);  // each row sets the modes
  for (auto [target, link] :
       {std::pair{"a/b", root.file("link")}, {"loop", root.file("loop")}, {"..", a + "/up"}})
    fs::create_symlink(target, link);
  ASSERT_TRUE(geteuid() != 0 || lchown((a + "/up").c_str(), 65534, -1) == 0);
  std::tuple<mode_t, mode_t, uid_t, std::string, std::string> cases[] = {
      {0755, 0700, 0, b + "/c/d", ""},  // what does not exist yet holds nothing
      {0775, 0700, 0, b + "/c", a},
      {0777, 0700, 0, b, a},
      {01777, 0700, 0, b, ""},  // sticky: others cannot replace b
      {01777, 0700, 0, a, a},   // but the path itself must be closed
      {0755, 0720, 0, b, b},
      {0755, 0720, 0, root.file("link/c"), root.file("link")},
      {0755, 0700, 0, root.file("link/../b/."), ""},
      {0755, 0700, 0, root.file("loop/c"), root.file("loop")},
      {0755, 0700, 65534, b, b},
      {01777, 0700, 65534, b + "/c", b},
      {01777, 0700, 65534, a + "/up", a + "/up"},  // sticky, but the link is someone else's
  };
  for (const auto& [aMode, bMode, bOwner, path, offender] : cases) {
    if (bOwner != 0 && geteuid() != 0) continue;
    chmod(a.c_str(), aMode);
    chmod(b.c_str(), bMode);
    ASSERT_EQ(chown(b.c_str(), bOwner == 0 ? geteuid() : bOwner, -1), 0);
    std::string found;
    EXPECT_EQ(pathIsTrusted(path, &found), offender.empty()) << path;
    EXPECT_EQ(found, offender) << path << " " << std::oct << aMode << " " << bMode;
  }
  if (geteuid() != 0) std::cout << "[ SKIPPED  ] rows that give a directory away need root\n";
}
