// The launcher's own unzip and rm: the words they are handed, what they leave
// on disk, and that no outside tool of those names is ever started.
#include <gtest/gtest.h>

#include <random>

#include "agent/agent_launch.h"
#include "launcher/command_words.h"
#include "launcher/shell_command.h"
#include "launcher/tree_removal.h"
#include "support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// A text of 0 to 12 bytes from 1 to 255, with the shell's special characters
// far more often than chance would give them.
std::string randomText(std::mt19937& random) {
  const std::string specials = " \t\n'\"\\$`*?[]#~{}()|&;<>=%!-";
  std::string text(random() % 13, ' ');
  for (char& c : text) c = random() % 2 ? specials[random() % specials.size()] : static_cast<char>(1 + random() % 255);
  return text;
}

// Every word, as `shell` hands them to printf, each ended by a NUL.
std::string wordsAsShellSees(const std::string& shell, const std::string& line) {
  return runProcess({shell, "-c", "printf '%s\\0' " + line.substr(line.find(' ') + 1)}).standardOutput;
}

}  // namespace

TEST(SplitCommandWords, TakesBackWhatQuotingPutInAsAShellDoes) {
  std::mt19937 random(20261207);
  for (int i = 0; i < 3000; ++i) {
    std::vector<std::string> texts = {"cmd", randomText(random), randomText(random), randomText(random)};
    std::string line = texts[0];
    for (size_t k = 1; k < texts.size(); ++k) line += (random() % 2 ? " " : " \t ") + quoteArgument(texts[k]);
    std::erase(texts, "");  // quoteArgument leaves an empty text empty: no word at all
    std::optional<std::vector<std::string>> words = splitCommandWords(line);
    ASSERT_TRUE(words) << line;
    EXPECT_EQ(*words, texts) << line;
    if (i % 100 == 0) {  // and so do real shells
      std::string expected;
      for (size_t k = 1; k < texts.size(); ++k) expected += texts[k] + '\0';
      if (texts.size() == 1) expected += '\0';  // printf with no argument still prints once
      for (const char* shell : {"/bin/sh", "/bin/bash"}) EXPECT_EQ(wordsAsShellSees(shell, line), expected) << shell << " " << line;
    }
  }
}

TEST(SplitCommandWords, RefusesWhatAShellWouldExpandAndKeepsTheRest) {
  for (const char* line : {"a $b", "a;b", "a|b", "a&b", "a>b", "a<b", "a*", "a?b", "a[b", "~x", "#c", "a (b)", "a{b}", "a`b`",
                           "'open", "\"open", "a\\", "\"$x\"", "\"a`b`\"", "a\nb"})
    EXPECT_FALSE(splitCommandWords(line)) << line;
  std::pair<const char*, std::vector<std::string>> kept[] = {
      {"a\\ b  c", {"a b", "c"}}, {"'a'\"b\"c", {"abc"}}, {"x#y a~ b=c", {"x#y", "a~", "b=c"}}, {"'' \"\"", {"", ""}},
      {"a\\\nb", {"ab"}}, {"\"a\\\"b\\\\c\\d\"", {"a\"b\\c\\d"}}, {"'it'\\''s'", {"it's"}}, {"  \t", {}}, {"]x !y %z ^w", {"]x", "!y", "%z", "^w"}},
  };
  for (const auto& [line, words] : kept) EXPECT_EQ(splitCommandWords(line), words) << line;
}

// A tree with everything that makes removal hard, beside a canary that a
// removal following a link would reach.
TEST(RemoveTree, TakesTheWholeTreeAndNothingALinkPointsTo) {
  TemporaryDirectory root;
  const std::string tree = root.file("tree"), canary = root.file("canary");
  fs::create_directories(canary + "/inner");
  writeFile(canary + "/inner/keep", "keep");
  std::string deep = tree;
  for (int level = 0; level < 80; ++level) deep += "/d" + std::to_string(level);  // deeper than the buffered levels
  fs::create_directories(deep);
  writeFile(deep + "/leaf", "");
  for (int i = 0; i < 600; ++i) {  // more entries than one read of the directory returns
    if (i % 7 == 0) fs::create_directories(tree + "/wide/sub" + std::to_string(i) + "/x");
    else writeFile(tree + "/wide/f" + std::to_string(i), "");
  }
  for (const char* locked : {"/readonly", "/closed"}) {
    fs::create_directories(tree + locked + "/inner");
    writeFile(tree + locked + "/inner/f", "");
  }
  chmod((tree + "/readonly/inner").c_str(), 0555);
  chmod((tree + "/readonly").c_str(), 0555);
  chmod((tree + "/closed").c_str(), 0);
  fs::create_directory_symlink(canary, tree + "/to-directory");
  fs::create_symlink(canary + "/inner/keep", tree + "/to-file");
  fs::create_directory_symlink(canary + "/inner", root.file("link"));

  removeTree(tree.c_str());
  removeTree((root.file("link") + "//").c_str());  // the link goes, not what it points to
  removeTree(root.file("missing").c_str());
  EXPECT_FALSE(pathExists(tree));
  EXPECT_FALSE(pathExists(root.file("link")));
  EXPECT_EQ(readFile(canary + "/inner/keep"), "keep");
}

// Decoys of both names first on PATH record any start; the runner's unzip
// and rm are the launcher's own, with unzip's exit codes.
TEST(BuiltinTools, RunInProcessWithUnzipsStatuses) {
  TemporaryDirectory work, decoys;
  for (const char* tool : {"unzip", "rm"}) writeFile(decoys.file(tool), "#!/bin/sh\ntouch " + work.file("decoy-ran") + "\n", 0755);
  std::string savedPath = getenv("PATH");
  setenv("PATH", (decoys.path() + ":" + savedPath).c_str(), 1);
  makeZip(work.file("a.zip"), {{"install", "echo hi"}, {"lib/x", "x"}});
  std::string corrupt = readFile(work.file("a.zip"));
  corrupt[corrupt.find("echo hi")] ^= 1;
  writeFile(work.file("bad.zip"), corrupt);
  writeFile(work.file("text.zip"), "not an archive");
  const std::string to = " -d " + work.file("out");
  std::pair<std::string, int> cases[] = {
      {"unzip -qq -o " + work.file("a.zip") + to, 0},
      {"unzip -qq " + work.file("a.zip") + to, 0},  // replaces without asking
      {"unzip -qq -o " + work.file("bad.zip") + to + "2", 2},
      {"unzip -qq -o " + work.file("text.zip") + to, 9},
      {"unzip -qq -o " + work.file("missing.zip") + to, 9},
      {"unzip -qq -o -x " + work.file("a.zip") + to, 10},
      {"unzip -qq -o " + work.file("a.zip"), 10},
      {"rm -rf " + work.file("out2") + " " + work.file("never"), 0},
  };
  for (const auto& [line, exitCode] : cases) EXPECT_EQ(runShellCommand(line), exitCode << 8) << line;
  setenv("PATH", savedPath.c_str(), 1);
  EXPECT_EQ(readFile(work.file("out/install")), "echo hi");
  EXPECT_FALSE(pathExists(work.file("out2")));
  EXPECT_FALSE(pathExists(work.file("decoy-ran")));
  // rm leaves ".." alone, as rm does.
  fs::create_directories(work.file("a/b"));
  EXPECT_EQ(runShellCommand("rm -rf " + work.file("a/b/..")), 0);
  EXPECT_TRUE(pathExists(work.file("a/b")));
}

// What would make the shell fail where an agent's failure could not be told
// from an agent that ran.
TEST(AgentCanStart, RefusesWhatTheShellCouldNotRun) {
  TemporaryDirectory work, noShell;
  writeFile(work.file("install"), "exit 0");
  fs::create_directory(work.file("dir"));
  const std::string line = "sh " + work.file("install") + " -installbundle /tmp/x/bundle.zip";
  long limit = sysconf(_SC_ARG_MAX);
  std::tuple<std::string, std::string, std::string, bool> cases[] = {
      {work.file("install"), line, "", true},
      {work.file("missing"), line, "", false},
      {work.file("dir"), line, "", false},
      {work.file("install"), line, noShell.path(), false},
      {work.file("install"), line + std::string(limit - line.size() - 16, 'x'), "", false},
  };
  std::string savedPath = getenv("PATH");
  for (const auto& [script, command, path, starts] : cases) {
    setenv("PATH", path.empty() ? savedPath.c_str() : path.c_str(), 1);
    EXPECT_EQ(agentCanStart(script, command), starts) << script << " " << command.size() << " " << path;
  }
  setenv("PATH", savedPath.c_str(), 1);
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
  ASSERT_EQ(runProcess({"/usr/bin/python3", "-c", craft, work.file("hosts.zip"), work.file("marked.zip")}).exitCode, 0);
  // libarchive hands no data for a file it takes for a directory: refused,
  // rather than made a file of zeros.
  EXPECT_EQ(runShellCommand("unzip -qq -o " + work.file("marked.zip") + " -d " + work.file("marked")), 2 << 8);
  for (mode_t mask : {022, 077}) {
    mode_t saved = umask(mask);
    runProcess({"/usr/bin/unzip", "-qq", "-o", work.file("hosts.zip"), "-d", work.file("info-zip")});
    int status = runShellCommand("unzip -qq -o " + work.file("hosts.zip") + " -d " + work.file("ours"));
    umask(saved);
    EXPECT_EQ(status, 0);
    int compared = 0;
    for (const auto& entry : fs::directory_iterator(work.file("info-zip"))) {
      std::string name = entry.path().filename();
      struct stat theirs, ours;
      ASSERT_EQ(lstat(entry.path().c_str(), &theirs), 0);
      ASSERT_EQ(lstat(work.file("ours/" + name).c_str(), &ours), 0) << name;
      EXPECT_EQ(ours.st_mode, theirs.st_mode) << name << " under umask " << std::oct << mask;
      if (S_ISREG(theirs.st_mode)) {
        EXPECT_EQ(readFile(work.file("ours/" + name)), readFile(entry.path())) << name;
      }
      ++compared;
    }
    EXPECT_EQ(compared, 7 * 9 * 4);
    for (const char* tree : {"info-zip", "ours"}) removeTree(work.file(tree).c_str());
  }
}
