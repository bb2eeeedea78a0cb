#include "payload/scratch_directory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

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
