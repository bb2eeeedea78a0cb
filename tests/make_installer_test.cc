// make-installer run as a process on real files, its output read back with
// the real unzip and zipinfo.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "test_support.h"

using namespace testing_support;

namespace {

const std::string packer = QZ_PACKER_PATH;

class MakeInstaller : public testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(out);
    writeFile(launcher, readFile("/bin/true"), 0755);
    makeZip(bundle, {{"data.txt", "payload"}});
    makeZip(agent, {{"install", "echo agent"}});
  }

  ProcessResult pack(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), packer);
    return runProcess(arguments);
  }

  // unzip -t passes the installer without a message about its layout, such as
  // offsets it had to adjust or a ZIP64 record not where the locator says.
  void expectUnzipTestClean() {
    ProcessResult tested = runProcess({"/usr/bin/unzip", "-t", output});
    EXPECT_EQ(tested.exitStatus, 0);
    for (const char* complaint : {"warning", "error:"})
      EXPECT_EQ(tested.standardOutput.find(complaint), std::string::npos) << tested.standardOutput;
    EXPECT_EQ(tested.standardError, "");
  }

  TemporaryDirectory dir;
  std::string launcher = dir.file("launcher"), bundle = dir.file("b.zip"),
              agent = dir.file("a.zip"), out = dir.file("out"), output = out + "/setup.run";
};

TEST_F(MakeInstaller, WritesAnExecutableThatUnzipReadsWithoutWarnings) {
  ProcessResult packed = pack({"--agent", agent, launcher, bundle, output});
  ASSERT_EQ(packed.exitStatus, 0) << packed.standardError;
  EXPECT_EQ(packed.standardOutput + packed.standardError, "");
  EXPECT_EQ(runProcess({output}).exitStatus, 0);  // still the launcher

  std::string installer = readFile(output), image = readFile(launcher);
  EXPECT_EQ(installer.substr(0, image.size()), image);
  EXPECT_EQ(installer.substr(installer.size() - 22, 4), "PK\5\6");

  // Offsets counted from the start of the file: unzip has nothing to adjust.
  expectUnzipTestClean();
  EXPECT_EQ(runProcess({"/usr/bin/unzip", "-p", output, "bundle.zip"}).standardOutput,
            readFile(bundle));
  EXPECT_EQ(runProcess({"/usr/bin/unzip", "-p", output, "InstallAgent.zip"}).standardOutput,
            readFile(agent));

  std::string info = runProcess({"/usr/bin/zipinfo", "-v", output}).standardOutput;
  for (const char* expected :
       {"none (stored)", "required to extract:   1.0", "origin:      Unix",
        "encoding software:                   3.0", "Unix file attributes (100644 octal)",
        "0x5455 (universal time) and 5 data bytes", "(Unix UID/GID (any size)) and 11 data"}) {
    size_t first = info.find(expected);
    EXPECT_NE(first, std::string::npos) << expected;
    EXPECT_NE(info.find(expected, first + 1), std::string::npos) << "second member: " << expected;
  }
  struct stat status;
  ASSERT_EQ(stat(output.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0755u);
}

TEST_F(MakeInstaller, RefusesBadInputsAndLeavesNothingBehind) {
  writeFile(output, "an earlier installer");
  writeFile(dir.file("text"), "not a zip archive, just long enough to be read as one");
  std::vector<std::vector<std::string>> refusals = {
      {launcher, bundle},
      {"--agent", launcher, bundle, output},
      {dir.file("missing"), bundle, output},
      {launcher, dir.file("missing.zip"), output},
      {launcher, out, output},
      {launcher, dir.file("text"), output},
      {"--agent", dir.file("text"), launcher, bundle, output},
      {launcher, bundle, dir.file("no such dir/setup.run")},
      {"--bogus", launcher, bundle, output}};
  for (const auto& arguments : refusals) {
    ProcessResult result = pack(arguments);
    EXPECT_NE(result.exitStatus, 0) << arguments[1];
    EXPECT_EQ(result.standardError.rfind("make-installer: ", 0), 0u) << result.standardError;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out), {}), 1) << arguments[1];
    EXPECT_EQ(readFile(output), "an earlier installer");
  }
}

// --zip64 gives small inputs the layout of members past 4 GiB. The plain end
// record then holds only overflow markers, so unzip must find the members
// through the ZIP64 end record and the 0x0001 extra fields.
TEST_F(MakeInstaller, ForcedZip64LayoutIsReadByUnzip) {
  ProcessResult packed = pack({"--zip64", "--agent", agent, launcher, bundle, output});
  ASSERT_EQ(packed.exitStatus, 0) << packed.standardError;
  expectUnzipTestClean();

  std::string info = runProcess({"/usr/bin/zipinfo", "-v", output}).standardOutput;
  for (const char* expected : {"required to extract:   4.5", "(PKWARE 64-bit sizes) and 24 data"})
    EXPECT_NE(info.find(expected, info.find(expected) + 1), std::string::npos) << expected;
  EXPECT_NE(info.find("central directory contains 2 entries"), std::string::npos) << info;

  std::string extracted = dir.file("extracted");
  ASSERT_EQ(runProcess({"/usr/bin/unzip", "-qq", output, "-d", extracted}).exitStatus, 0);
  EXPECT_EQ(readFile(extracted + "/bundle.zip"), readFile(bundle));
  EXPECT_EQ(readFile(extracted + "/InstallAgent.zip"), readFile(agent));
}

}  // namespace
