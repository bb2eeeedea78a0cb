// make-installer run as a process on real files, its output read back with
// the real unzip and zipinfo.
#include <gtest/gtest.h>

#include <filesystem>

#include "scenario.h"

using namespace testing_support;

namespace {

class MakeInstaller : public testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(out);
    // Members past 1 MiB, the piece the packer reads at a time.
    std::string data;
    for (int i = 0; data.size() < (5u << 19); ++i) data += std::to_string(i * 7919) + "\n";
    makeZip(bundle, {{"data.txt", data}});
    makeZip(agent, {{"install", "echo agent"}});
  }
  ProcessResult pack(std::vector<std::string> arguments, std::string limit = "") {
    arguments.insert(arguments.begin(), {"/bin/sh", "-c", "trap '' XFSZ; " + limit + " exec \"$@\"", "sh", packer});
    return runProcess(arguments);
  }
  // unzip -t passes it without a word about its layout, and unzip gives the inputs back.
  void expectUnzipReadsItClean() {
    ProcessResult tested = runProcess({"/usr/bin/unzip", "-t", output});
    EXPECT_EQ(tested.exitCode, 0) << tested.standardOutput;
    for (const char* complaint : {"warning", "error:"})
      EXPECT_EQ(tested.standardOutput.find(complaint), std::string::npos) << tested.standardOutput;
    EXPECT_EQ(runProcess({"/usr/bin/unzip", "-p", output, "bundle.zip"}).standardOutput, readFile(bundle));
    EXPECT_EQ(runProcess({"/usr/bin/unzip", "-p", output, "InstallAgent.zip"}).standardOutput, readFile(agent));
  }

  TemporaryDirectory dir;
  std::string bundle = dir.file("b.zip"), agent = dir.file("a.zip"), out = dir.file("out"),
              output = out + "/setup.run";
};

TEST_F(MakeInstaller, WritesAnExecutableThatUnzipReadsWithoutWarnings) {
  for (bool zip64 : {false, true}) {
    std::vector<std::string> arguments = {"--agent", agent, "/bin/true", bundle, output};
    if (zip64) arguments.insert(arguments.begin(), "--zip64");
    ProcessResult packed = pack(arguments);
    ASSERT_EQ(packed.exitCode, 0) << packed.standardError;
    EXPECT_EQ(packed.standardOutput + packed.standardError, "");
    EXPECT_EQ(runProcess({output}).exitCode, 0);  // still the launcher image
    expectUnzipReadsItClean();
    std::string info = runProcess({"/usr/bin/zipinfo", "-v", output}).standardOutput;
    for (std::string expected : {"none (stored)", "origin:      Unix", "Unix file attributes (100644 octal)",
                                 "0x5455 (universal time) and 5 data bytes", "(Unix UID/GID (any size)) and 11 data",
                                 zip64 ? "(PKWARE 64-bit sizes) and 24 data" : "required to extract:   1.0"})
      EXPECT_NE(info.find(expected, info.find(expected) + 1), std::string::npos) << expected;
  }
}

TEST_F(MakeInstaller, RefusesOrFailsAndLeavesNothingBehind) {
  writeFile(output, "an earlier installer");
  writeFile(dir.file("text"), "not a zip archive, just long enough to be read as one");
  std::string whole = readFile(bundle);
  writeFile(dir.file("truncated.zip"), whole.substr(0, whole.size() / 2));
  std::vector<std::vector<std::string>> refusals = {
      {"/bin/true", bundle},
      {"--agent", "/bin/true", bundle, output},
      {dir.file("missing"), bundle, output},
      {"/bin/true", out, output},
      {"/bin/true", dir.file("text"), output},
      {"/bin/true", dir.file("truncated.zip"), output},
      {"--agent", dir.file("truncated.zip"), "/bin/true", bundle, output},
      {"/bin/true", bundle, dir.file("no such dir/setup.run")},
      {"--bogus", "/bin/true", bundle, output}};
  for (const auto& arguments : refusals) {
    ProcessResult result = pack(arguments);
    EXPECT_NE(result.exitCode, 0) << arguments[1];
    EXPECT_EQ(result.standardError.rfind("make-installer: ", 0), 0u) << result.standardError;
  }
  // A write that fails half-way: the file size limit of 1 MiB.
  ProcessResult cut = pack({"/bin/true", bundle, output}, "ulimit -f 2048;");
  EXPECT_EQ(cut.exitCode, 1);
  EXPECT_EQ(cut.standardError, "make-installer: cannot write " + output + ": File too large\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out), {}), 1);
  EXPECT_EQ(readFile(output), "an earlier installer");
}

}  // namespace
