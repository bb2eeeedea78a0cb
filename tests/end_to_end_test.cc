// Packed installers run as separate processes, as a user starts them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <future>

#include "test_support.h"

using namespace testing_support;

namespace {

const std::string launcher = QZ_LAUNCHER_PATH;
const std::string packer = QZ_PACKER_PATH;

// The sample agent writes its arguments, each in <>, to $AGENT_RECORD, keeps a
// copy of the bundle it was given, and ends with $AGENT_EXIT.
const char* agentScript =
    "for a in \"$@\"; do printf '<%s>' \"$a\"; done > \"$AGENT_RECORD\"\n"
    "cp \"$2\" \"$AGENT_RECORD.bundle\"\n"
    "exit ${AGENT_EXIT:-0}\n";

const std::string failedToStart =
    "Internal error: Failed to initialize application installer (201)\nInstallation failed.\n";

class EndToEnd : public testing::Test {
 protected:
  void SetUp() override {
    makeZip(bundle, {{"product/readme.txt", "the product"}});
    makeZip(agent, {{"install", agentScript}});
  }

  // Packs an installer at `output`, with the sample agent inside unless told not to.
  void pack(const std::string& output, bool withAgent = true, const std::string& agentZip = "") {
    std::vector<std::string> argv = {packer};
    if (withAgent) argv.insert(argv.end(), {"--agent", agentZip.empty() ? agent : agentZip});
    argv.insert(argv.end(), {launcher, bundle, output});
    ProcessResult packed = runProcess(argv);
    ASSERT_EQ(packed.exitStatus, 0) << packed.standardError;
  }

  ProcessResult run(const std::string& installer, std::vector<std::string> arguments = {},
                    std::vector<std::string> environment = {}) {
    arguments.insert(arguments.begin(), installer);
    environment.push_back("AGENT_RECORD=" + record);
    return runProcess(arguments, environment);
  }

  // The scratch directory the agent was handed the bundle in.
  std::string scratchOfLastRun() {
    std::string received = readFile(record);
    size_t start = received.find("><") + 2;
    std::string bundlePath = received.substr(start, received.find('>', start) - start);
    return bundlePath.substr(0, bundlePath.rfind("/bundle.zip"));
  }

  TemporaryDirectory work;
  std::string bundle = work.file("bundle.zip");
  std::string agent = work.file("agent.zip");
  std::string installer = work.file("setup.run");
  std::string record = work.file("record");
};

TEST_F(EndToEnd, OfflineInstallerRunsTheAgentWithItsArgumentsAndCleansUp) {
  pack(installer);
  ProcessResult result =
      run(installer, {"--dir=/opt/a b;touch pwned", "", "$(touch pwned)"}, {"AGENT_EXIT=7"});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.standardOutput, "");
  EXPECT_EQ(result.standardError, "");

  std::string scratch = scratchOfLastRun();
  EXPECT_EQ(scratch.rfind("/tmp/qz", 0), 0u);
  EXPECT_EQ(scratch.size(), 13u);
  EXPECT_EQ(readFile(record), "<-installbundle><" + scratch +
                                  "/bundle.zip><--dir=/opt/a b;touch pwned><><$(touch pwned)>");
  EXPECT_EQ(readFile(record + ".bundle"), readFile(bundle));
  EXPECT_FALSE(pathExists(scratch));
  EXPECT_FALSE(pathExists("pwned"));
}

TEST_F(EndToEnd, TwoRunsAtOnceUseTwoScratchDirectories) {
  pack(installer);
  std::string records[2] = {work.file("first"), work.file("second")};
  auto start = [&](int i) {
    return std::async(std::launch::async,
                      [&, i] { return runProcess({installer}, {"AGENT_RECORD=" + records[i]}); });
  };
  auto first = start(0), second = start(1);
  EXPECT_EQ(first.get().exitStatus, 0);
  EXPECT_EQ(second.get().exitStatus, 0);
  EXPECT_NE(readFile(records[0]), readFile(records[1]));
  for (const std::string& path : records) {
    record = path;
    EXPECT_FALSE(pathExists(scratchOfLastRun()));
  }
}

TEST_F(EndToEnd, TestModeUnpacksBesideTheExecutable) {
  std::filesystem::create_directory(work.file("my dir"));
  // The directory ends at the last "/" or "\" of the installer's path.
  std::pair<std::string, std::string> cases[] = {
      {work.file("my dir/setup.run"), work.file("my dir")},
      {work.file("back\\slash.run"), work.file("back")}};
  for (const auto& [where, expected] : cases) {
    pack(where);
    ProcessResult result = run(where, {}, {"__QZ_BOOTSTRAP_INSTALLER_UNITTEST__="});
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    EXPECT_EQ(readFile(record), "<-installbundle><" + expected + "/bundle.zip>");
    EXPECT_TRUE(pathExists(expected + "/install"));
    EXPECT_TRUE(pathExists(expected + "/InstallAgent.zip"));
  }
}

TEST_F(EndToEnd, InstallerPathsThatNeedQuotingOrAreLong) {
  std::string hostile = work.file("it's \"a\" $(touch pwned) `x` \n caf\xc3\xa9");
  std::string longPath = work.path();
  while (longPath.size() < 1200) longPath += "/" + std::string(200, 'd');
  for (const std::string& where : {hostile, longPath}) {
    std::filesystem::create_directories(where);
    pack(where + "/setup.run");
    ProcessResult result = run(where + "/setup.run");
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    EXPECT_FALSE(pathExists(scratchOfLastRun()));
  }
  EXPECT_FALSE(pathExists("pwned"));
}

TEST_F(EndToEnd, InstallerLyingInTheRootDirectory) {
  std::string rooted = "/qz-end-to-end-" + std::to_string(getpid()) + ".run";
  pack(rooted);
  ProcessResult result = run(rooted);
  unlink(rooted.c_str());
  EXPECT_EQ(result.exitStatus, 0) << result.standardError;
}

TEST_F(EndToEnd, FailuresPrintTheExactLinesExit255AndLeaveNoScratch) {
  FakeToolDirectory tools;
  std::string log = work.file("unzip.log");
  // Logs the directory it unpacks into, then behaves as told.
  auto unzipThat = [&](const std::string& behaviour) {
    tools.add("unzip", "for a; do d=$a; done; echo \"$d\" >> " + log + "\n" + behaviour);
  };
  std::string corruptAgent = work.file("corrupt.zip");
  std::string data = readFile(agent);
  size_t extraLength = static_cast<unsigned char>(data[28]) | data[29] << 8;
  data[30 + 7 + extraLength + 2] ^= 1;  // inside the first member's data: a CRC error
  writeFile(corruptAgent, data);
  std::string truncated = work.file("truncated.run");

  struct Case {
    std::string name, installer, unzip, expected;
  } cases[] = {
      {"no agent", work.file("online.run"), "exec /usr/bin/unzip \"$@\"",
       "Failed to initialize the install agent.\nInstallation failed.\n"},
      {"corrupt agent", work.file("corrupt.run"), "exec /usr/bin/unzip \"$@\"",
       "Failed to unzip the install agent\nFailed to initialize the install agent.\n"
       "Installation failed.\n"},
      {"truncated installer", truncated, "exec /usr/bin/unzip \"$@\"", failedToStart},
      {"unzip missing", installer, "exit 127", failedToStart},
      {"unzip killed", installer, "kill -KILL $$", failedToStart},
  };
  pack(installer);
  pack(work.file("online.run"), false);
  pack(work.file("corrupt.run"), true, corruptAgent);
  std::string whole = readFile(installer);
  writeFile(truncated, whole.substr(0, whole.size() - 30), 0755);

  for (const Case& c : cases) {
    unzipThat(c.unzip);
    ProcessResult result = run(c.installer);
    EXPECT_EQ(result.exitStatus, 255) << c.name;
    EXPECT_EQ(result.standardOutput, "") << c.name;
    // The tools may speak first (unzip's warnings, the shell's "Killed").
    EXPECT_THAT(result.standardError, testing::EndsWith(c.expected)) << c.name;
    std::string scratch = readFile(log).substr(0, 13);
    EXPECT_EQ(scratch.rfind("/tmp/qz", 0), 0u) << c.name;
    EXPECT_FALSE(pathExists(scratch)) << c.name;
    unlink(log.c_str());
  }
}

}  // namespace
