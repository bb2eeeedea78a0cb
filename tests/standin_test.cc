// The launcher's own unzip: the words it is handed and the permissions it
// gives what it unpacks.
#include <gtest/gtest.h>

#include "launcher/builtin/tree_removal.h"
#include "launcher/core/command_words.h"
#include "launcher/core/shell_command.h"
#include "support.h"

using namespace testing_support;
namespace fs = std::filesystem;

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

// Members made on many systems, with and without Unix modes, read-only and
// directory bits: each gets the permissions Info-ZIP's unzip gives it, under
// two umasks.
TEST(BuiltinUnzip, GivesEachMemberInfoZipsPermissions) {
  TemporaryDirectory work;
  const std::string craft =
      "import sys, zipfile\n"
      "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
      "  for system in (0, 3, 6, 10, 11, 14, 19):\n"
      "    for upper in (0, 0o600, 0o644, 0o755, 0o4755, 0o2750, 0o1777, 0o40755, 0o40700):\n"
      "      for dos in (0, 1, 0x10, 0x20):\n"
      "        name = 's%d-%o-%x' % (system, upper, dos) + ('/' if upper & 0o40000 else '')\n"
      "        i = zipfile.ZipInfo(name, (2001, 2, 3, 4, 5, 6))\n"
      "        i.create_system, i.external_attr = system, upper << 16 | dos\n"
      "        z.writestr(i, '' if dos & 0x10 else name)\n"
      "with zipfile.ZipFile(sys.argv[2], 'w') as z:\n"
      "  i = zipfile.ZipInfo('marked-as-directory', (2001, 2, 3, 4, 5, 6))\n"
      "  i.create_system, i.external_attr = 0, 0x10\n"
      "  z.writestr(i, 'data')\n";
  ASSERT_EQ(
      runProcess({"/usr/bin/python3", "-c", craft, work.file("hosts.zip"), work.file("marked.zip")})
          .exitCode,
      0);
  auto ours = [&](const std::string& zip, const std::string& into) {
    return runShellCommand("unzip -qq -o " + work.file(zip) + " -d " + work.file(into)).rawStatus;
  };
  // A name without "/" is a file whatever its MS-DOS bits say, with its data.
  EXPECT_EQ(ours("marked.zip", "marked"), 0);
  EXPECT_EQ(readFile(work.file("marked/marked-as-directory")), "data");
  // Each entry's name and mode, then each file's bytes: diff prints what differs.
  const std::string compare =
      "list() { cd \"$1\" && find . -mindepth 1 -printf '%p %M\\n' | sort; }; diff <(list \"$0\") "
      "<(list \"$1\") && chmod -R u+rX \"$0\" \"$1\" && diff -r \"$0\" \"$1\"";
  for (mode_t mask : {022, 077}) {
    mode_t saved = umask(mask);
    runProcess(
        {"/usr/bin/unzip", "-qq", "-o", work.file("hosts.zip"), "-d", work.file("info-zip")});
    EXPECT_EQ(ours("hosts.zip", "ours"), 0);
    umask(saved);
    EXPECT_EQ(std::distance(fs::directory_iterator(work.file("info-zip")), {}), 7 * 9 * 4);
    ProcessResult compared =
        runProcess({"/bin/bash", "-c", compare, work.file("info-zip"), work.file("ours")});
    EXPECT_EQ(compared.standardOutput, "") << "under umask " << std::oct << mask;
    EXPECT_EQ(compared.exitCode, 0);
    for (const char* tree : {"info-zip", "ours"}) removeTree(work.file(tree).c_str());
  }
}
