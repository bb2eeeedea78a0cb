// A launcher with a built-in key against nginx serving the agent archive and
// its detached signature: only an archive that the key's owner signed is run
// or kept.
#include <filesystem>

#include "installer_fixture.h"
#include "nginx_server.h"

using namespace testing_support;

namespace {

const std::string notVerified =
    "Error: Download process failed - The install agent's signature did not verify\n\n. Check "
    "your internet connectivity, proxy server, firewall, and virus scanner settings and rerun "
    "the installer.\nInstallation failed.\n";

// `openssl pkeyutl -sign -rawin`, as a vendor signs an agent archive.
std::string sign(const std::string& data, const std::string& key) {
  TemporaryDirectory directory;
  writeFile(directory.file("data"), data);
  ProcessResult signing = runProcess({"/usr/bin/openssl", "pkeyutl", "-sign", "-rawin", "-inkey",
                                      key, "-in", directory.file("data"), "-out",
                                      directory.file("sig")});
  EXPECT_EQ(signing.exitStatus, 0) << signing.standardError;
  return readFile(directory.file("sig"));
}

class SignedAgent : public EndToEnd {};

TEST_F(SignedAgent, OnlyAnArchiveSignedWithTheBuiltInKeyIsRunAndKept) {
  TemporaryDirectory www;
  Nginx nginx(www.path());
  ASSERT_TRUE(nginx.started());
  // Unpacked beside the installer (test mode), so that a downloaded archive stays in sight.
  std::filesystem::create_directory(work.file("signed"));
  const std::string signedInstaller = work.file("signed/setup.run");
  pack(signedInstaller, "", signedLauncher);
  ASSERT_EQ(runProcess({"/usr/bin/openssl", "genpkey", "-algorithm", "ed25519", "-out",
                        www.file("other.pem")}).exitStatus, 0);
  const std::string archive = readFile(agent), goodSignature = sign(archive, agentPrivateKey);
  const std::string cache = work.file("home/.orvane/installagent/T19q7c/hostk64/");
  const std::string bothGets = "http HEAD /agent\nhttp GET /agent\nhttp GET /agent.sig\n";
  struct Case {
    std::string name, archive;
    std::optional<std::string> signature;
    std::string standardError, accessLog;
  } cases[] = {
      {"a byte of the archive flipped", corruptAgent(), goodSignature, notVerified, bothGets},
      {"signed with another key", archive, sign(archive, www.file("other.pem")), notVerified, bothGets},
      {"no signature on the server", archive, std::nullopt, notVerified, bothGets},
      {"a signature one byte short", archive, goodSignature.substr(1), notVerified, bothGets},
      {"a signature and a line feed", archive, goodSignature + "\n", notVerified, bothGets},
      // After all those failures nothing was cached, so this run downloads again.
      {"the vendor's signature", archive, goodSignature, "", bothGets},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(www.file("agent"), c.archive);
    std::filesystem::remove(www.file("agent.sig"));
    std::filesystem::remove(work.file("signed/bundle.zip"));
    if (c.signature) writeFile(www.file("agent.sig"), *c.signature);
    ProcessResult result = run(signedInstaller, {},
                                   {"QZ_INTERNAL_INSTALL_AGENT_URL=" + nginx.url("/agent"),
                                    "__QZ_BOOTSTRAP_INSTALLER_UNITTEST__="});
    bool trusted = c.standardError.empty();
    EXPECT_EQ(result.exitStatus, trusted ? 0 : 255);
    EXPECT_EQ(result.standardError, c.standardError);
    EXPECT_EQ(nginx.takeAccessLog(), c.accessLog);
    EXPECT_EQ(pathExists(record), trusted);
    EXPECT_EQ(pathExists(cache + "installagent"), trusted);
    EXPECT_EQ(pathExists(cache + ".validatestring"), trusted);
    EXPECT_EQ(pathExists(work.file("signed/InstallAgent.zip")), trusted);
  }
  // The agent verified when it came is trusted on a warm run without asking again.
  EXPECT_EQ(run(signedInstaller, {}, {"QZ_INTERNAL_INSTALL_AGENT_URL=" + nginx.url("/agent")})
                .exitStatus,
            0);
  EXPECT_EQ(nginx.takeAccessLog(), "http HEAD /agent\n");
}

}  // namespace
