#include "agent/file_system_utilities.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include "test_support.h"

using namespace testing_support;

namespace {

mode_t modeOf(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

}  // namespace

TEST(MakeDirectoryTree, MakesEachMissingComponentWithTheMode) {
  TemporaryDirectory root;
  mode_t oldMask = umask(022);
  ASSERT_EQ(mkdir(root.file("old").c_str(), 0755), 0);
  EXPECT_EQ(makeDirectoryTree(root.file("old/a//b/c/"), 0700), 0);
  EXPECT_EQ(makeDirectoryTree(root.file("old/a//b/c/"), 0700), 0);  // all there already
  EXPECT_EQ(modeOf(root.file("old")), 0755u);
  EXPECT_EQ(modeOf(root.file("old/a")), 0700u);
  EXPECT_EQ(modeOf(root.file("old/a/b/c")), 0700u);
  EXPECT_EQ(makeDirectoryTree("", 0700), 0);

  // A file in the way stops the walk; a directory that cannot be made does not.
  writeFile(root.file("file"), "");
  errno = 0;
  EXPECT_EQ(makeDirectoryTree(root.file("file/x/y"), 0700), -1);
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_EQ(makeDirectoryTree("/proc/no/such/dir", 0700), 0);
  umask(oldMask);
}

TEST(ValidatorFile, HoldsExactlyTheValueAndMatchesOnItsFirstLine) {
  TemporaryDirectory cache;
  const std::string file = cache.file(".validatestring");
  writeValidatorFile(cache.path() + "/", "abc\r");
  EXPECT_EQ(readFile(file), "abc\r");
  writeValidatorFile(cache.path(), "");
  EXPECT_EQ(readFile(file), "abc\r");
  EXPECT_TRUE(validatorFileMatches(cache.path(), "abc\r"));
  EXPECT_FALSE(validatorFileMatches(cache.path(), "abc"));
  EXPECT_FALSE(validatorFileMatches(cache.path(), "ABC\r"));
  EXPECT_FALSE(validatorFileMatches(cache.path(), ""));

  writeFile(file, "abc\r\nmore\n");
  EXPECT_TRUE(validatorFileMatches(cache.path(), "abc\r"));
  writeValidatorFile(cache.path(), "two\nlines");
  EXPECT_EQ(readFile(file), "two\nlines");
  EXPECT_FALSE(validatorFileMatches(cache.path(), "two\nlines"));
  writeFile(file, "");
  EXPECT_FALSE(validatorFileMatches(cache.path(), "abc\r"));
  EXPECT_FALSE(validatorFileMatches(cache.file("missing"), "abc\r"));
}
