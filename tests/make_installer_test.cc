// make-installer run as a process on real files, its output checked with the
// real unzip, zipinfo and zip tools.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using testing_support::makeZip;
using testing_support::pathExists;
using testing_support::ProcessResult;
using testing_support::readFile;
using testing_support::runProcess;
using testing_support::TemporaryDirectory;
using testing_support::writeFile;

const std::string packer = QZ_PACKER_PATH;
constexpr uint64_t fourGiB = uint64_t{1} << 32;

// The `width`-byte little-endian field at `at`.
uint32_t littleEndian(const std::string& bytes, size_t at, size_t width) {
  uint32_t value = 0;
  for (size_t i = width; i-- > 0;)
    value = value << 8 | static_cast<unsigned char>(bytes.at(at + i));
  return value;
}

// A file of `size` bytes that reads as a ZIP archive at both ends and costs
// no disk space in between.
void makeSparseZip(const std::string& path, uint64_t size) {
  writeFile(path, std::string("PK\3\4", 4));
  ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0);
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(static_cast<std::streamoff>(size - 22));
  file << std::string("PK\5\6", 4);
}

class MakeInstaller : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(outDir.c_str(), 0755), 0);
    writeFile(launcher, readFile("/bin/true"), 0755);
    makeZip(bundle, {{"install", "#!/bin/sh\necho installing\n"}, {"data.txt", "payload"}});
    makeZip(agent, {{"agent.txt", "the agent"}});
  }

  // Runs make-installer with `arguments`.
  ProcessResult pack(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), packer);
    return runProcess(arguments);
  }

  // Names left in the output directory, which holds nothing but OUTPUT.
  std::vector<std::string> outputDirectoryEntries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(outDir))
      names.push_back(entry.path().filename().string());
    return names;
  }

  TemporaryDirectory dir;
  std::string launcher = dir.file("launcher");
  std::string bundle = dir.file("bundle-input.zip");
  std::string agent = dir.file("agent-input.zip");
  std::string outDir = dir.file("out");
  std::string output = dir.file("out/installer");
};

TEST_F(MakeInstaller, PackedFileRunsAndReadsAsArchiveWithoutWarnings) {
  ProcessResult packed = pack({launcher, bundle, output});
  ASSERT_EQ(packed.exitStatus, 0) << packed.standardError;
  EXPECT_EQ(packed.standardOutput + packed.standardError, "");
  struct stat status;
  ASSERT_EQ(stat(output.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0755u);
  EXPECT_EQ(runProcess({output}).exitStatus, 0);

  ProcessResult tested = runProcess({"/usr/bin/unzip", "-t", output});
  EXPECT_EQ(tested.exitStatus, 0) << tested.standardOutput << tested.standardError;
  EXPECT_EQ(tested.standardError, "");
  EXPECT_EQ(tested.standardOutput.find("warning"), std::string::npos) << tested.standardOutput;
  EXPECT_EQ(tested.standardOutput.find("extra bytes"), std::string::npos);
  EXPECT_EQ(outputDirectoryEntries(), std::vector<std::string>{"installer"});
}

TEST_F(MakeInstaller, MembersAreStoredUnixFilesWithMode0644) {
  ASSERT_EQ(pack({"--agent", agent, launcher, bundle, output}).exitStatus, 0);
  ProcessResult info = runProcess({"/usr/bin/zipinfo", "-v", output});
  ASSERT_EQ(info.exitStatus, 0) << info.standardOutput;
  const std::string& text = info.standardOutput;
  for (const char* expected : {"compression method:                             none (stored)",
                               "minimum software version required to extract:   1.0",
                               "file system or operating system of origin:      Unix",
                               "version of encoding software:                   3.0",
                               "Unix file attributes (100644 octal):            -rw-r--r--",
                               "ID 0x5455 (universal time) and 5 data bytes",
                               "ID 0x7875 (Unix UID/GID (any size)) and 11 data bytes"}) {
    size_t first = text.find(expected);
    ASSERT_NE(first, std::string::npos) << expected << "\n" << text;
    EXPECT_NE(text.find(expected, first + 1), std::string::npos) << "second member: " << expected;
  }
}

TEST_F(MakeInstaller, ArchiveMatchesZipStoredOutputApartFromAccessTimes) {
  // With an empty launcher the archive must be what `zip -0` makes of the same
  // files. Reading a file may move its access time, so those bytes are masked.
  TemporaryDirectory staging;
  writeFile(staging.file("bundle.zip"), readFile(bundle));
  writeFile(staging.file("InstallAgent.zip"), readFile(agent));
  writeFile(dir.file("empty"), "");
  ProcessResult zipped =
      runProcess({"/bin/sh", "-c",
                  "cd '" + staging.path() + "' && zip -q -0 '" + dir.file("reference.zip") +
                      "' bundle.zip InstallAgent.zip"});
  ASSERT_EQ(zipped.exitStatus, 0) << zipped.standardError;
  ASSERT_EQ(pack({"--agent", staging.file("InstallAgent.zip"), dir.file("empty"),
                  staging.file("bundle.zip"), output})
                .exitStatus,
            0);

  std::string ours = readFile(output);
  std::string reference = readFile(dir.file("reference.zip"));
  size_t secondHeader = 30 + 10 + 28 + readFile(bundle).size();
  for (size_t at : {size_t{30 + 10 + 9}, secondHeader + 30 + 16 + 9}) {
    ours.replace(at, 4, 4, '\0');
    reference.replace(at, 4, 4, '\0');
  }
  EXPECT_TRUE(ours == reference) << "archive differs from zip -0 output";
}

TEST_F(MakeInstaller, KeepsLauncherAndMemberBytesWithOffsetsFromFileStart) {
  writeFile(agent, std::string("PK\5\6", 4) + std::string(18, '\0'));  // an empty archive
  ASSERT_EQ(pack({"--agent", agent, launcher, bundle, output}).exitStatus, 0);
  std::string image = readFile(launcher);
  std::string bundleBytes = readFile(bundle);
  std::string installer = readFile(output);
  ASSERT_GT(installer.size(), image.size() + 22);
  EXPECT_TRUE(installer.compare(0, image.size(), image) == 0) << "launcher image altered";

  size_t end = installer.size() - 22;
  EXPECT_EQ(installer.substr(end, 4), std::string("PK\5\6", 4));
  EXPECT_EQ(littleEndian(installer, end + 8, 2), 2u);
  EXPECT_EQ(littleEndian(installer, end + 10, 2), 2u);
  size_t directory = littleEndian(installer, end + 16, 4);
  EXPECT_EQ(directory, image.size() + 2 * (30 + 28) + 10 + 16 + bundleBytes.size() + 22);
  EXPECT_EQ(installer.substr(directory, 4), std::string("PK\1\2", 4));
  EXPECT_EQ(littleEndian(installer, directory + 42, 4), image.size());
  EXPECT_EQ(installer.substr(image.size(), 4), std::string("PK\3\4", 4));

  EXPECT_TRUE(runProcess({"/usr/bin/unzip", "-p", output, "bundle.zip"}).standardOutput ==
              bundleBytes);
  EXPECT_TRUE(runProcess({"/usr/bin/unzip", "-p", output, "InstallAgent.zip"}).standardOutput ==
              readFile(agent));
}

TEST_F(MakeInstaller, RefusesBadInputsAndLeavesNothingBehind) {
  writeFile(dir.file("text"), "not an archive, just text that is long enough to look at\n");
  writeFile(dir.file("headless.zip"), readFile(bundle).substr(0, 100));
  mkdir(dir.file("folder").c_str(), 0755);
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{dir.file("missing"), bundle, output}, 1, dir.file("missing") + ": No such file"},
      {{launcher, dir.file("missing"), output}, 1, "No such file or directory"},
      {{launcher, dir.file("folder"), output}, 1, dir.file("folder") + ": Is a directory"},
      {{launcher, dir.file("text"), output}, 1, "not a ZIP archive"},
      {{launcher, dir.file("headless.zip"), output}, 1, "not a ZIP archive"},
      {{"--agent", dir.file("text"), launcher, bundle, output}, 1, "not a ZIP archive"},
      {{launcher, bundle, dir.file("out/missing/installer")}, 1, "No such file or directory"},
      {{launcher, bundle}, 2, "usage: make-installer"},
      {{"--bogus", launcher, bundle, output}, 2, "usage: make-installer"},
      {{launcher, bundle, output, "--agent"}, 2, "usage: make-installer"},
  };
  for (const Case& refused : cases) {
    ProcessResult result = pack(refused.arguments);
    std::string context = refused.arguments.back() + " / " + result.standardError;
    EXPECT_EQ(result.exitStatus, refused.status) << context;
    EXPECT_EQ(result.standardError.rfind("make-installer: ", 0), 0u) << context;
    EXPECT_NE(result.standardError.find(refused.message), std::string::npos) << context;
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_EQ(outputDirectoryEntries(), std::vector<std::string>{}) << context;
  }
}

TEST_F(MakeInstaller, RefusesArchivesReachingFourGiBBeforeWritingAnything) {
  makeSparseZip(dir.file("huge.zip"), fourGiB);
  makeSparseZip(dir.file("big-launcher"), fourGiB - 100);
  auto started = std::chrono::steady_clock::now();
  ProcessResult hugeMember = pack({launcher, dir.file("huge.zip"), output});
  ProcessResult hugeTotal = pack({dir.file("big-launcher"), bundle, output});
  auto elapsed = std::chrono::steady_clock::now() - started;
  for (const ProcessResult& result : {hugeMember, hugeTotal}) {
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_NE(result.standardError.find("4 GiB"), std::string::npos) << result.standardError;
  }
  EXPECT_LT(elapsed, std::chrono::seconds(5)) << "the inputs were streamed before the check";
  EXPECT_EQ(outputDirectoryEntries(), std::vector<std::string>{});
}

TEST_F(MakeInstaller, RefusalLeavesExistingOutputUnchanged) {
  writeFile(output, "previous installer", 0700);
  writeFile(dir.file("text"), "not an archive at all, only some text for the check\n");
  ProcessResult notZip = pack({launcher, dir.file("text"), output});
  // A file size limit of 512 bytes makes writing the launcher image fail
  // after the temporary file exists (SIGXFSZ ignored, so write reports EFBIG).
  ProcessResult writeFailed =
      runProcess({"/bin/sh", "-c", "ulimit -f 1; trap '' XFSZ; exec \"$0\" \"$@\"", packer,
                  launcher, bundle, output});
  for (const ProcessResult& result : {notZip, writeFailed}) {
    EXPECT_EQ(result.exitStatus, 1) << result.standardError;
    EXPECT_EQ(result.standardError.rfind("make-installer: ", 0), 0u) << result.standardError;
  }
  EXPECT_NE(writeFailed.standardError.find("cannot write " + output), std::string::npos);
  EXPECT_EQ(readFile(output), "previous installer");
  EXPECT_EQ(outputDirectoryEntries(), std::vector<std::string>{"installer"});
  ASSERT_EQ(pack({launcher, bundle, output}).exitStatus, 0);
  EXPECT_EQ(readFile(output).substr(0, 4), "\177ELF");
}

}  // namespace
