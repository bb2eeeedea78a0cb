#include "payload/scratch_directory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>

#include "test_support.h"

using namespace testing_support;

TEST(RemovePathIfExists, RemovesExactlyThatPath) {
  TemporaryDirectory directory;
  const std::string hostile = directory.file("it's a $(touch pwned) `dir`");
  const std::string sibling = directory.file("it");
  ASSERT_EQ(mkdir(hostile.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(sibling.c_str(), 0700), 0);
  writeFile(hostile + "/inside", "x");

  removePathIfExists(hostile);
  EXPECT_FALSE(pathExists(hostile));
  EXPECT_TRUE(pathExists(sibling));
  EXPECT_FALSE(pathExists("pwned"));  // where a smuggled command would have run

  removePathIfExists(directory.file("missing"));  // nothing there: nothing run
  EXPECT_TRUE(pathExists(sibling));
}

// Without a scratch directory (none could be made) an interruption still
// removes what must not outlive the step it cut short.
TEST(InterruptionCleanup, GuardsNamedPathsWithoutAScratchDirectory) {
  TemporaryDirectory directory;
  const std::string validator = directory.file(".validatestring");
  writeFile(validator, "ETag: \"v1\"");
  EXPECT_EXIT(
      {
        InterruptionCleanup cleanup("");
        AlsoRemovedOnInterruption unverified(validator);
        raise(SIGHUP);
      },
      testing::KilledBySignal(SIGHUP), "");
  EXPECT_FALSE(pathExists(validator));
}
