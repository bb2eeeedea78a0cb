#include "agent/local_agent_archive.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "test_support.h"

using namespace testing_support;

TEST(FindLocalAgentArchive, ExactNameWinsOverVariants) {
  TemporaryDirectory directory;
  EXPECT_EQ(findLocalAgentArchive(directory.path()), "");
  writeFile(directory.file("InstallAgent_x.zip"), "");
  writeFile(directory.file("InstallAgent.zip"), "");
  EXPECT_EQ(findLocalAgentArchive(directory.path()), directory.file("InstallAgent.zip"));
  EXPECT_EQ(findLocalAgentArchive(directory.path() + "/"), directory.file("InstallAgent.zip"));
}

TEST(FindLocalAgentArchive, VariantNamesMatchWithTheirCase) {
  TemporaryDirectory directory;
  for (const char* name : {"installagent_x.zip", "InstallAgent_x.ZIP", "InstallAgent.zip.part",
                           "InstallAgent_.zi", "bundle.zip"})
    writeFile(directory.file(name), "");
  EXPECT_EQ(findLocalAgentArchive(directory.path()), "");

  writeFile(directory.file("InstallAgent_.zip"), "");
  EXPECT_EQ(findLocalAgentArchive(directory.path()), directory.file("InstallAgent_.zip"));
  EXPECT_EQ(findLocalAgentArchive(directory.path() + "/"), directory.file("InstallAgent_.zip"));
}

TEST(FindLocalAgentArchive, AnyKindOfEntryCounts) {
  TemporaryDirectory directory;
  ASSERT_EQ(mkdir(directory.file("InstallAgent_d.zip").c_str(), 0700), 0);
  EXPECT_EQ(findLocalAgentArchive(directory.path()), directory.file("InstallAgent_d.zip"));
  EXPECT_EQ(findLocalAgentArchive(directory.file("missing")), "");
}
