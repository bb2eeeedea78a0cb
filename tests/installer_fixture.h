// What the end-to-end tests share: a sample bundle and agent, installers
// packed from them, and runs of those installers as separate processes.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "test_support.h"

namespace testing_support {

inline const std::string launcher = QZ_LAUNCHER_PATH;
inline const std::string packer = QZ_PACKER_PATH;
// A launcher that trusts only agents signed with the private key beside it.
inline const std::string signedLauncher = QZ_SIGNED_LAUNCHER_PATH;
inline const std::string agentPrivateKey = QZ_AGENT_PRIVATE_KEY;
// The sample agent writes its arguments, each in <>, to $AGENT_RECORD, keeps a
// copy of the bundle it was given and the UNZIP and UNZIPOPT it saw, and ends
// with status 7.
inline const char* agentScript =
    "for a in \"$@\"; do printf '<%s>' \"$a\"; done > \"$AGENT_RECORD\"\n"
    "cp \"$2\" \"$AGENT_RECORD.bundle\"\nprintf %s \"$UNZIP$UNZIPOPT\" > \"$AGENT_RECORD.unzip\"\n"
    "exit 7\n";

class EndToEnd : public testing::Test {
 protected:
  void SetUp() override {
    makeZip(bundle, {{"product/readme.txt", "the product"}});
    makeZip(agent, {{"install", agentScript}});
  }

  // Packs an installer at `output` with `agentZip` inside, or none when empty.
  void pack(const std::string& output, const std::string& agentZip,
            const std::string& launcherPath = launcher) {
    std::vector<std::string> argv = {packer, launcherPath, bundle, output};
    if (!agentZip.empty()) argv.insert(argv.begin() + 1, {"--agent", agentZip});
    ASSERT_EQ(runProcess(argv).exitStatus, 0);
  }

  // Runs `installer` with `arguments` and a HOME of its own, after any
  // "NAME=value" in `environment`.
  ProcessResult run(const std::string& installer, std::vector<std::string> arguments = {},
                    std::vector<std::string> environment = {}) {
    arguments.insert(arguments.begin(), installer);
    arguments.insert(arguments.begin(), environment.begin(), environment.end());
    arguments.insert(arguments.begin(),
                     {"/usr/bin/env", "AGENT_RECORD=" + record, "HOME=" + work.file("home")});
    return runProcess(arguments);
  }

  // The sample agent's archive with one bit of "install" flipped: a CRC error.
  std::string corruptAgent() {
    std::string data = readFile(agent);
    data[30 + 7 + (data[28] | data[29] << 8) + 2] ^= 1;  // past the local header and its name
    return data;
  }

  // The sample agent with extra members named `names` (such as "../x" or
  // "/abs"), which zip itself refuses to write: written under placeholder
  // names of the same length, then renamed in the archive's bytes.
  void makeAgentWithMemberNames(const std::string& zipPath, const std::vector<std::string>& names) {
    std::vector<std::pair<std::string, std::string>> members = {{"install", agentScript}};
    for (const std::string& name : names) members.push_back({std::string(name.size(), 'Q'), name});
    makeZip(zipPath, members);
    std::string bytes = readFile(zipPath);
    for (const std::string& name : names) {
      std::string placeholder(name.size(), 'Q');
      for (size_t at; (at = bytes.find(placeholder)) != std::string::npos;)
        bytes.replace(at, name.size(), name);
    }
    writeFile(zipPath, bytes);
  }

  // Polls `condition` for up to five seconds.
  static void waitUntil(const std::function<bool()>& condition) {
    for (int wait = 0; wait < 500 && !condition(); ++wait) usleep(10000);
  }

  // The directory in which the last agent was handed its bundle.
  std::string bundleDirectoryOfLastRun() {
    std::string received = readFile(record);
    size_t start = received.find("><") + 2;
    return received.substr(start, received.find("/bundle.zip>") - start);
  }

  TemporaryDirectory work;
  std::string bundle = work.file("bundle.zip"), agent = work.file("agent.zip"),
              installer = work.file("setup.run"), record = work.file("record");
};

}  // namespace testing_support
