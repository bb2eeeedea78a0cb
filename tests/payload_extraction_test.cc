#include "payload/payload_extraction.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "test_support.h"

using namespace testing_support;

// The real unzip cannot be made to crash or vanish, so a fake one stands in:
// it leaves a bundle (or not) in the directory after "-d" and exits as told.
TEST(ExtractPayload, SucceedsOnlyWithABundleAndAtMostWarnings) {
  TemporaryDirectory target;
  FakeTools tools;
  std::pair<std::string, int> cases[] = {
      {"echo x > \"$4/bundle.zip\"; exit 1", 0},                     // warnings only
      {"touch \"$4/bundle.zip\"; exit 1", payloadExtractionFailed},  // a member it could not unpack
      {"exit 0", payloadExtractionFailed},                           // no bundle came out
      {"touch \"$4/bundle.zip\"; exit 2", payloadExtractionFailed},  // corrupt archive
      {"exit 50", payloadExtractionFailed},                          // disk full
      {"exit 127", payloadExtractionFailed},                         // no unzip at all
      {"kill -KILL $$", payloadExtractionFailed},
  };
  for (const auto& [behaviour, expected] : cases) {
    tools.add("unzip", behaviour);
    EXPECT_EQ(extractPayload(target.path()), expected) << behaviour;
    unlink(target.file("bundle.zip").c_str());
  }
}
