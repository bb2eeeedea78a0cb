// The release launcher where nothing but BusyBox is installed: no C library,
// no loader, no certificates but the test's own, and an nsswitch.conf naming
// modules that must never be loaded.
#include <elf.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "installer_fixture.h"
#include "nginx_server.h"

using namespace testing_support;

namespace {

// True when the ELF file at `path` names a program interpreter.
bool needsLoader(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  Elf64_Ehdr header{};
  file.read(reinterpret_cast<char*>(&header), sizeof header);
  for (int index = 0; file && index < header.e_phnum; ++index) {
    Elf64_Phdr segment{};
    file.seekg(header.e_phoff + index * header.e_phentsize);
    file.read(reinterpret_cast<char*>(&segment), sizeof segment);
    if (segment.p_type == PT_INTERP) return true;
  }
  return false;
}

class BusyBoxRoot : public EndToEnd {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "a chroot needs root";
    if (needsLoader(launcher)) GTEST_SKIP() << "this build's launcher is not static";
    ProcessResult probe = runProcess({"/usr/bin/unshare", "--mount", "/bin/true"});
    if (probe.exitStatus != 0) GTEST_SKIP() << "no mount namespace: " << probe.standardError;
    EndToEnd::SetUp();
    namespace fs = std::filesystem;
    for (const char* directory : {"bin", "proc", "home", "etc/pki/tls/certs", "tmp"})
      fs::create_directories(root.file(directory));
    fs::permissions(root.file("tmp"), fs::perms::all | fs::perms::sticky_bit);
    fs::copy_file("/bin/busybox", root.file("bin/busybox"));
    for (const char* applet : {"sh", "rm", "unzip"})
      fs::create_symlink("busybox", root.file("bin/") + applet);
    writeFile(root.file("etc/hosts"), "127.0.0.1 agents.test\n");
    writeFile(root.file("etc/nsswitch.conf"),
              "hosts: files myhostname resolve [!UNAVAIL=return] dns\n"
              "passwd: files systemd\n");
    writeFile(root.file("etc/openssl.cnf"), "openssl_conf = engines\n");
    makeZip(agent, {{"install", "echo \"$@\" > /record"}});
  }

  // Runs /setup.run in the root under strace, in a mount namespace of its own
  // that holds the root's /proc; the strace log goes to `trace`.
  ProcessResult runInRoot(const std::vector<std::string>& environment) {
    std::vector<std::string> argv = {
        "/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
        "root=$1 trace=$2; shift 2; mount -t proc proc \"$root/proc\" && exec strace -f -qq "
        "-e trace=openat,open -o \"$trace\" /bin/busybox chroot \"$root\" /bin/busybox env -i "
        "PATH=/bin HOME=/home OPENSSL_CONF=/etc/openssl.cnf \"$@\" /setup.run a b",
        "sh", root.path(), trace};
    argv.insert(argv.end(), environment.begin(), environment.end());
    return runProcess(argv);
  }

  TemporaryDirectory root;
  std::string trace = work.file("strace.log");
};

TEST_F(BusyBoxRoot, InstallersRunWithOnlyShRmAndUnzip) {
  TestCertificates certificates;
  Nginx nginx(work.file("www"), &certificates);
  ASSERT_TRUE(nginx.started());
  std::filesystem::create_directory(work.file("www"));
  writeFile(work.file("www/agent"), readFile(agent));
  pack(root.file("offline.run"), agent);
  pack(root.file("online.run"), "");
  const std::string fedoraBundle = root.file("etc/pki/tls/certs/ca-bundle.crt");
  struct Case {
    std::string name, installer, url, caFile, ownCa, accessLog;
  } cases[] = {
      {"offline", "offline.run", nginx.url("/agent", "agents.test"), "", "", ""},
      {"over http", "online.run", nginx.url("/agent", "agents.test"), "", "", "http"},
      {"over https, the CA at Fedora's path", "online.run",
       nginx.secureUrl("/agent", "agents.test"), fedoraBundle, "", "https"},
      {"over https, the CA in SSL_CERT_FILE", "online.run",
       nginx.secureUrl("/agent", "agents.test"), root.file("ca.pem"), "SSL_CERT_FILE=/ca.pem",
       "https"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(root.file("home/.orvane"));
    std::filesystem::remove(fedoraBundle);
    std::filesystem::remove(root.file("ca.pem"));
    if (!c.caFile.empty()) std::filesystem::copy_file(certificates.ca(), c.caFile);
    std::filesystem::copy_file(root.file(c.installer), root.file("setup.run"),
                               std::filesystem::copy_options::overwrite_existing);
    std::vector<std::string> environment = {"QZ_INTERNAL_INSTALL_AGENT_URL=" + c.url};
    if (!c.ownCa.empty()) environment.push_back(c.ownCa);

    ProcessResult result = runInRoot(environment);
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    EXPECT_THAT(readFile(root.file("record")),
                testing::MatchesRegex("-installbundle /tmp/qz....../bundle.zip a b\n"));
    std::string log = c.accessLog.empty() ? "" : c.accessLog + " HEAD /agent\n" + c.accessLog +
                                                     " GET /agent\n";
    EXPECT_EQ(nginx.takeAccessLog(), log);
    std::string opened = readFile(trace);
    EXPECT_THAT(opened, testing::HasSubstr("\"/setup.run\""));  // the log is the launcher's
    EXPECT_THAT(opened, testing::Not(testing::HasSubstr(".so")));
    EXPECT_THAT(opened, testing::Not(testing::HasSubstr("openssl.cnf")));
    EXPECT_TRUE(std::filesystem::is_empty(root.file("tmp")));
  }
}

}  // namespace
