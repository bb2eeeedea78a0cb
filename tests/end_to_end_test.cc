// Packed installers run as separate processes, as a user starts them.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <future>

#include "installer_fixture.h"

using namespace testing_support;

namespace {

const std::string cannotUnpack =
    "Internal error: Failed to initialize application installer (201)\nInstallation failed.\n";

TEST_F(EndToEnd, OfflineInstallerRunsTheAgentWithItsArgumentsAndCleansUp) {
  pack(installer, agent);
  ProcessResult result = run(installer, {"--dir=/opt/a b;touch pwned", "", "$(touch pwned)",
                                         "`touch pwned`", "it's", "new\nline", "*"});
  EXPECT_EQ(result.exitStatus, 0);  // whatever the agent's own status
  EXPECT_EQ(result.standardOutput + result.standardError, "");

  std::string scratch = bundleDirectoryOfLastRun();
  EXPECT_THAT(scratch, testing::MatchesRegex("/tmp/qz[A-Za-z0-9]{6}"));
  EXPECT_EQ(readFile(record), "<-installbundle><" + scratch +
                                  "/bundle.zip><--dir=/opt/a b;touch pwned><><$(touch pwned)>"
                                  "<`touch pwned`><it's><new\nline><*>");
  EXPECT_EQ(readFile(record + ".bundle"), readFile(bundle));
  EXPECT_FALSE(pathExists(scratch));
  EXPECT_FALSE(pathExists("pwned"));
}

TEST_F(EndToEnd, RunsAtOnceUseTheirOwnScratchDirectories) {
  pack(installer, agent);
  auto start = [&](std::string name) {
    return std::async(std::launch::async, [this, name] {
      return runProcess({"/usr/bin/env", "AGENT_RECORD=" + work.file(name), installer});
    });
  };
  auto first = start("first"), second = start("second");
  EXPECT_EQ(first.get().exitStatus, 0);
  EXPECT_EQ(second.get().exitStatus, 0);
  std::string firstBundle = readFile(work.file("first")),
              secondBundle = readFile(work.file("second"));
  EXPECT_NE(firstBundle, secondBundle);
  for (std::string name : {"first", "second"}) {
    record = work.file(name);
    EXPECT_FALSE(pathExists(bundleDirectoryOfLastRun()));
  }
}

TEST_F(EndToEnd, TestModeUnpacksBesideTheExecutable) {
  std::filesystem::create_directory(work.file("my dir"));
  // The directory ends at the last "/" or "\" of the installer's path.
  std::pair<std::string, std::string> cases[] = {
      {work.file("my dir/setup.run"), work.file("my dir")},
      {work.file("back\\slash.run"), work.file("back")}};
  for (const auto& [where, expected] : cases) {
    pack(where, agent);
    ProcessResult result = run(where, {}, {"__QZ_BOOTSTRAP_INSTALLER_UNITTEST__="});
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    EXPECT_EQ(readFile(record), "<-installbundle><" + expected + "/bundle.zip>");
    EXPECT_TRUE(pathExists(expected + "/install") && pathExists(expected + "/InstallAgent.zip"));
  }
  // A local archive that fails to unpack leaves the executable's directory alone.
  writeFile(work.file("corrupt.zip"), corruptAgent());
  pack(work.file("my dir/corrupt.run"), work.file("corrupt.zip"));
  std::filesystem::remove(work.file("my dir/InstallAgent.zip"));
  ProcessResult failed =
      run(work.file("my dir/corrupt.run"), {}, {"__QZ_BOOTSTRAP_INSTALLER_UNITTEST__="});
  EXPECT_EQ(failed.exitStatus, 255);
  EXPECT_TRUE(pathExists(work.file("my dir/corrupt.run")) &&
              pathExists(work.file("my dir/setup.run")));
}

TEST_F(EndToEnd, InstallerPathsThatNeedQuotingAreLongOrInTheRoot) {
  std::string longPath = work.path();
  while (longPath.size() < 1200) longPath += "/" + std::string(200, 'd');
  std::string hostile = work.file("it's \"a\" $(touch pwned) `x` \n caf\xc3\xa9");
  std::vector<std::string> paths = {hostile + "/setup.run", longPath + "/setup.run"};
  std::string rooted = "/qz-end-to-end-" + std::to_string(getpid()) + ".run";
  if (geteuid() == 0) paths.push_back(rooted);  // only root may write there
  for (const std::string& path : paths) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    pack(path, agent);
    ProcessResult result = run(path);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.standardOutput + result.standardError, "");
    EXPECT_FALSE(pathExists(bundleDirectoryOfLastRun()));
  }
  unlink(rooted.c_str());
  EXPECT_FALSE(pathExists("pwned"));
}

TEST_F(EndToEnd, AgentMembersCannotEscapeTheirDirectory) {
  // unzip drops "../" without a word, but warns about an absolute name (status 1).
  std::pair<std::string, int> cases[] = {{"../../../../../.." + work.file("escaped"), 0},
                                         {work.file("escaped"), 255}};
  for (const auto& [name, status] : cases) {
    makeAgentWithMemberNames(work.file("evil.zip"), {name});
    pack(installer, work.file("evil.zip"));
    ProcessResult result = run(installer);
    EXPECT_EQ(result.exitStatus, status) << result.standardError;
    EXPECT_FALSE(pathExists(work.file("escaped")));
    std::filesystem::remove(work.file("evil.zip"));
  }
}

TEST_F(EndToEnd, FailuresPrintTheExactLinesExit255AndLeaveNoScratch) {
  writeFile(work.file("corrupt.zip"), corruptAgent());
  pack(installer, agent);
  pack(work.file("corrupt.run"), work.file("corrupt.zip"));
  // Damaged installers: cut anywhere in the archive, a flipped bit in the
  // bundle, an archive without bundle.zip.
  std::string whole = readFile(installer), image = readFile(launcher);
  std::vector<std::string> damaged;
  for (size_t keep : {image.size() + 10, image.size() + 100, whole.size() - 30, whole.size() - 1})
    damaged.push_back(whole.substr(0, keep));
  damaged.push_back(whole);
  damaged.back()[whole.find(readFile(bundle)) + 50] ^= 1;
  makeZip(work.file("other.zip"), {{"other.txt", "no bundle here"}});
  damaged.push_back(image + readFile(work.file("other.zip")));
  // bundle.zip, the first member, unpacks to nothing with a mere warning when
  // its local header names an unknown method, and not at all when it says
  // it is encrypted.
  size_t local = image.size(), central = 0;
  for (int i = 3; i >= 0; --i) central = central << 8 | uint8_t(whole[whole.size() - 6 + i]);
  damaged.push_back(whole);
  damaged.back()[local + 8] = 99;
  damaged.push_back(whole);
  damaged.back()[local + 6] |= 1;
  damaged.back()[central + 8] |= 1;

  const std::string realUnzip = "exec /usr/bin/unzip \"$@\"";
  struct Case {
    std::string installer, unzip, expected;
  };
  std::vector<Case> cases = {
      {work.file("corrupt.run"), realUnzip,
       "Failed to unzip the install agent\nFailed to initialize the install agent.\n"
       "Installation failed.\n"},
      {installer, "exit 127", cannotUnpack},  // no unzip on the machine
      {installer, "kill -KILL $$", cannotUnpack},
  };
  for (size_t i = 0; i < damaged.size(); ++i) {
    std::string path = work.file("damaged" + std::to_string(i) + ".run");
    writeFile(path, damaged[i], 0755);
    cases.push_back({path, realUnzip, cannotUnpack});
  }
  FakeTools tools;
  std::string log = work.file("unzip.log");
  for (const auto& c : cases) {
    // Logs the directory it unpacks into (its last word), then plays its part.
    tools.add("unzip", "for a; do d=$a; done; echo \"$d\" >> " + log + "\n" + c.unzip);
    ProcessResult result = run(c.installer);
    EXPECT_EQ(result.exitStatus, 255) << c.installer;
    EXPECT_EQ(result.standardOutput, "");
    // The tools may speak first (unzip's warnings, the shell's "Killed").
    EXPECT_THAT(result.standardError, testing::EndsWith(c.expected));
    std::string scratch = readFile(log).substr(0, 13);
    EXPECT_THAT(scratch, testing::StartsWith("/tmp/qz"));
    EXPECT_FALSE(pathExists(scratch));
    unlink(log.c_str());
  }
}

TEST_F(EndToEnd, UnzipReadsExactlyThisInstallerAndNoDefaultsOfTheUser) {
  // A neighbour whose name the installer's name matches as a pattern.
  makeZip(work.file("other.zip"), {{"install", "echo neighbour > \"$AGENT_RECORD\""}});
  pack(work.file("setup1.run"), work.file("other.zip"));
  pack(work.file("setup[12].run"), agent);
  // Plain concatenation: unzip warns about the offsets and reads it all the same.
  makeZip(work.file("outer.zip"),
          {{"bundle.zip", readFile(bundle)}, {"InstallAgent.zip", readFile(agent)}});
  writeFile(work.file("concatenated.run"), readFile(launcher) + readFile(work.file("outer.zip")),
            0755);
  // UNZIPOPT counts only where UNZIP is not set.
  std::pair<std::string, std::string> cases[] = {{"setup[12].run", "UNZIP=-p"},
                                                 {"concatenated.run", "UNZIPOPT=-p"}};
  FakeTools tools;
  for (const auto& [name, defaults] : cases) {
    ProcessResult result = run(work.file(name), {}, {defaults});
    EXPECT_EQ(result.exitStatus, 0) << name << result.standardError;
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_EQ(readFile(record + ".bundle"), readFile(bundle)) << name;
    // The agent's environment is the user's.
    EXPECT_EQ(readFile(record + ".unzip"), defaults.substr(defaults.find('=') + 1));
  }
  // BusyBox's unzip takes the name as it is, pattern characters and all.
  tools.add("unzip", "exec busybox unzip \"$@\"");
  unlink((record + ".bundle").c_str());
  EXPECT_EQ(run(work.file("setup[12].run")).exitStatus, 0);
  EXPECT_EQ(readFile(record + ".bundle"), readFile(bundle));
}

TEST_F(EndToEnd, ACommandLineTooLongToRunIsAnAgentStartFailure) {
  pack(installer, agent);
  // Quoted, each ' takes four bytes: past the 128 KiB of one exec string.
  ProcessResult result = run(installer, {std::string(32760, '\'')});
  EXPECT_EQ(result.exitStatus, 255);
  EXPECT_EQ(result.standardError,
            "Failed to start the instal agent\nFailed to start the instal agent\n"
            "Installation failed.\n");
  EXPECT_FALSE(pathExists(record));
}

// Ctrl-C or Ctrl-\ at the terminal reaches the launcher, its shell and the
// tool or agent that runs; the run ends by that signal, never as a success.
TEST_F(EndToEnd, CtrlCOrCtrlBackslashEndsTheRunByThatSignal) {
  struct rlimit noCore = {0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  makeZip(agent,
          {{"install", "touch \"$AGENT_RECORD\"; [ \"$3\" = wait ] && exec sleep 10; exit 130"}});
  pack(installer, agent);
  FakeTools tools;
  const std::string log = work.file("unzip.log"), realUnzip = "exec /usr/bin/unzip \"$@\"";
  struct {
    std::string unzip, argument;
    int signalNumber, status;
  } cases[] = {
      {realUnzip, "wait", SIGINT, 128 + SIGINT},
      {realUnzip, "wait", SIGQUIT, 128 + SIGQUIT},
      {realUnzip, "", 0, 0},             // an agent's status of 130 is its own business
      {"exit 80", "", 0, 128 + SIGINT},  // Info-ZIP's answer to Ctrl-C
  };
  for (const auto& c : cases) {
    tools.add("unzip", "for a; do d=$a; done; echo \"$d\" >> " + log + "\n" + c.unzip);
    ChildProcess launcher({"/usr/bin/env", "AGENT_RECORD=" + record, installer, c.argument});
    if (c.signalNumber != 0) {
      waitUntil([&] { return pathExists(record); });
      kill(-launcher.pid(), c.signalNumber);
    }
    EXPECT_EQ(launcher.wait().exitStatus, c.status) << c.unzip << " " << c.signalNumber;
    EXPECT_FALSE(pathExists(readFile(log).substr(0, 13)));
    unlink(log.c_str());
    unlink(record.c_str());
  }
}

// Info-ZIP catches SIGINT and exits 80, and bash (the /bin/sh of many
// systems) execs a lone command: the launcher sees that 80, not a signal.
TEST_F(EndToEnd, CtrlCDuringTheRealUnzipUnderBashEndsTheRunBySigint) {
  if (geteuid() != 0) GTEST_SKIP() << "putting bash in place of /bin/sh needs root";
  std::string big = work.file("big");
  ASSERT_EQ(truncate((writeFile(big, ""), big).c_str(), 128 << 20), 0);
  std::filesystem::remove(bundle);
  ASSERT_EQ(runProcess({"/usr/bin/zip", "-q", "-0", "-j", bundle, big}).exitStatus, 0);
  std::filesystem::remove(big);
  std::filesystem::create_directory(work.file("dir"));
  pack(work.file("dir/setup.run"), agent);
  ChildProcess launcher({"/usr/bin/unshare", "-m", "/bin/bash", "-c",
                         "mount --bind /bin/bash /bin/sh && exec \"$@\"", "bash", "/usr/bin/env",
                         "AGENT_RECORD=" + record,
                         "__QZ_BOOTSTRAP_INSTALLER_UNITTEST__=", work.file("dir/setup.run")});
  struct stat status;
  waitUntil([&] {
    return stat(work.file("dir/bundle.zip").c_str(), &status) == 0 && status.st_size > 0;
  });
  kill(-launcher.pid(), SIGINT);
  EXPECT_EQ(launcher.wait().exitStatus, 128 + SIGINT);
  EXPECT_FALSE(pathExists(record));
}

}  // namespace
