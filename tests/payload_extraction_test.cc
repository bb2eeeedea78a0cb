#include "payload/payload_extraction.h"

#include <gtest/gtest.h>

#include "test_support.h"

using namespace testing_support;

// The real unzip cannot be made to crash or vanish, so a fake one stands in:
// it records its words and leaves a bundle (or not) before it exits.
class ExtractPayloadTest : public testing::Test {
 protected:
  void fakeUnzip(const std::string& behaviour) {
    tools.add("unzip", "printf '%s\\n' \"$@\" > " + log + "\n" + behaviour);
  }
  TemporaryDirectory scratch;
  FakeTools tools;
  std::string log = scratch.file("unzip.log");
  std::string target = scratch.file("extract here");
};

TEST_F(ExtractPayloadTest, PassesTheInstallerAndTheDirectoryAsSingleWords) {
  fakeUnzip("touch \"$4/bundle.zip\"");
  ASSERT_EQ(system(("mkdir '" + target + "'").c_str()), 0);
  EXPECT_EQ(extractPayload(target), 0);
  EXPECT_EQ(readFile(log), "-qq\n" + executablePath() + "\n-d\n" + target + "\n");
}

TEST_F(ExtractPayloadTest, SucceedsOnlyWithABundleAndAtMostWarnings) {
  ASSERT_EQ(system(("mkdir '" + target + "'").c_str()), 0);
  struct Case {
    std::string behaviour;
    int expected;
  } cases[] = {
      {"touch \"$4/bundle.zip\"; exit 1", 0},                        // warnings only
      {"exit 0", payloadExtractionFailed},                           // no bundle came out
      {"touch \"$4/bundle.zip\"; exit 2", payloadExtractionFailed},  // corrupt archive
      {"exit 9", payloadExtractionFailed},                           // not an archive
      {"exit 50", payloadExtractionFailed},                          // disk full
      {"exit 127", payloadExtractionFailed},                         // no unzip at all
      {"kill -KILL $$", payloadExtractionFailed},
  };
  for (const Case& c : cases) {
    fakeUnzip(c.behaviour);
    EXPECT_EQ(extractPayload(target), c.expected) << c.behaviour;
    system(("rm -f '" + target + "/bundle.zip'").c_str());
  }
}
