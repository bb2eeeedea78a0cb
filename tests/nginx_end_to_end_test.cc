// An installer against a real web server: nginx serving the agent archive as
// a static file, with nginx's own ETag.
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <filesystem>

#include "installer_fixture.h"

extern char** environ;

using namespace testing_support;

namespace {

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

// A loopback port that was free a moment ago.
int freePort() {
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  bind(probe, reinterpret_cast<sockaddr*>(&address), length);
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  close(probe);
  return ntohs(address.sin_port);
}

bool acceptsConnections(int port) {
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = loopback(port);
  bool accepted = connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(probe);
  return accepted;
}

// nginx in the foreground as a child of the test, serving `root` on a free
// loopback port and logging "METHOD /path" lines; stopped on destruction.
class Nginx {
 public:
  explicit Nginx(const std::string& root) {
    std::filesystem::create_directory(directory_.file("t"));
    for (int attempt = 0; attempt < 5 && !started(); ++attempt) start(root);
  }
  ~Nginx() {
    if (!started()) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  bool started() const { return pid_ > 0; }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::string takeAccessLog() {
    std::string log = readFile(directory_.file("access.log"));
    truncate(directory_.file("access.log").c_str(), 0);
    return log;
  }

 private:
  // Starts nginx on a fresh port and waits until it listens; pid_ stays 0
  // when it exits instead (the port was taken meanwhile).
  void start(const std::string& root) {
    port_ = freePort();
    writeFile(directory_.file("nginx.conf"), configuration(root));
    const char* argv[] = {"/usr/sbin/nginx", "-p",   directory_.path().c_str(), "-c",
                          "nginx.conf",      nullptr};
    pid_t pid;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
      return;
    for (int wait = 0; !acceptsConnections(port_); ++wait) {
      if (waitpid(pid, nullptr, WNOHANG) == pid) return;  // it could not listen
      if (wait == 1000) {                                 // five seconds without listening
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return;
      }
      usleep(5000);
    }
    pid_ = pid;
  }

 private:
  // One process in the foreground, running as the test user, so that it can
  // read the test's files and the test can stop it.
  std::string configuration(const std::string& root) const {
    std::string text = R"(daemon off;
master_process off;
pid @/nginx.pid;
error_log @/error.log;
events {}
http {
  log_format requests '$request_method $uri';
  access_log @/access.log requests;
  client_body_temp_path @/t; proxy_temp_path @/t; fastcgi_temp_path @/t;
  uwsgi_temp_path @/t; scgi_temp_path @/t;
  server { listen 127.0.0.1:PORT; root ROOT; }
}
)";
    text.replace(text.find("PORT"), 4, std::to_string(port_));
    text.replace(text.find("ROOT"), 4, root);
    for (size_t at; (at = text.find('@')) != std::string::npos;)
      text.replace(at, 1, directory_.path());
    return text;
  }

  TemporaryDirectory directory_;
  int port_ = 0;
  pid_t pid_ = 0;
};

TEST_F(EndToEnd, AgainstNginxOnlyAChangedArchiveIsDownloaded) {
  const std::string agentPath = "/pi_install_agent_pi_T19q7c_hostk64";
  std::filesystem::create_directory(work.file("www"));
  writeFile(work.file("www") + agentPath, readFile(agent));
  Nginx nginx(work.file("www"));
  ASSERT_TRUE(nginx.started());
  pack(installer, "");
  auto runAgainstNginx = [&] {
    return run(installer, {}, {"QZ_INTERNAL_INSTALL_AGENT_URL=" + nginx.url(agentPath)});
  };

  ProcessResult cold = runAgainstNginx();
  EXPECT_EQ(cold.exitStatus, 0) << cold.standardError;
  EXPECT_EQ(nginx.takeAccessLog(), "HEAD " + agentPath + "\nGET " + agentPath + "\n");
  EXPECT_EQ(runAgainstNginx().exitStatus, 0);
  EXPECT_EQ(nginx.takeAccessLog(), "HEAD " + agentPath + "\n");

  // A new archive: another size and modification time, so another ETag.
  makeZip(work.file("v2.zip"), {{"install", "echo v2 > \"$AGENT_RECORD\""}});
  writeFile(work.file("www") + agentPath, readFile(work.file("v2.zip")));
  utimbuf later{time(nullptr) + 60, time(nullptr) + 60};
  utime((work.file("www") + agentPath).c_str(), &later);
  EXPECT_EQ(runAgainstNginx().exitStatus, 0);
  EXPECT_EQ(nginx.takeAccessLog(), "HEAD " + agentPath + "\nGET " + agentPath + "\n");
  EXPECT_EQ(readFile(record), "v2\n");
}

}  // namespace
