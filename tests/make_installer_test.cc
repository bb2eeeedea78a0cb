// make-installer's refusals and failures; what it writes is read by the real
// unzip in the end-to-end scenarios.
#include <gtest/gtest.h>

#include <filesystem>

#include "scenario.h"

using namespace testing_support;

TEST(MakeInstaller, RefusesOrFailsAndLeavesNothingBehind) {
  TemporaryDirectory dir;
  const std::string bundle = dir.file("b.zip"), out = dir.file("out"), output = out + "/setup.run";
  std::filesystem::create_directory(out);
  std::string noise(2 << 20, '\0');
  for (size_t i = 0, x = 1; i < noise.size(); ++i) noise[i] = static_cast<char>((x = x * 6364136223846793005u + 1) >> 56);
  makeZip(bundle, {{"data", noise}});
  writeFile(output, "an earlier installer");
  writeFile(dir.file("text"), "not a zip archive, just long enough to be read as one");
  writeFile(dir.file("truncated.zip"), readFile(bundle).substr(0, 1 << 20));
  std::vector<std::vector<std::string>> refusals = {
      {"/bin/true", bundle}, {"--agent", "/bin/true", bundle, output}, {dir.file("missing"), bundle, output},
      {"/bin/true", out, output}, {"/bin/true", dir.file("text"), output}, {"/bin/true", dir.file("truncated.zip"), output},
      {"--agent", dir.file("truncated.zip"), "/bin/true", bundle, output}, {"/bin/true", bundle, dir.file("no dir/setup.run")},
      {"--bogus", "/bin/true", bundle, output}};
  // Last, a write that fails half-way: the file size limit of 1 MiB (SIGXFSZ ignored).
  refusals.push_back({"ulimit -f 2048;", "/bin/true", bundle, output});
  for (std::vector<std::string> arguments : refusals) {
    std::string limit = arguments[0].rfind("ulimit", 0) == 0 ? arguments[0] : "";
    if (!limit.empty()) arguments.erase(arguments.begin());
    arguments.insert(arguments.begin(), {"/bin/sh", "-c", "trap '' XFSZ; " + limit + " exec \"$@\"", "sh", packer});
    ProcessResult result = runProcess(arguments);
    EXPECT_NE(result.exitCode, 0) << arguments[5];
    EXPECT_EQ(result.standardError.rfind("make-installer: ", 0), 0u) << result.standardError;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out), {}), 1) << result.standardError;
    EXPECT_TRUE(readFile(output) == "an earlier installer") << arguments[5];
  }
}
