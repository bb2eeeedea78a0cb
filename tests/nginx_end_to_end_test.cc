// An installer against a real web server: nginx serving the agent archive as
// a static file, with nginx's own ETag, over http and https.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utime.h>

#include <filesystem>
#include <mutex>
#include <thread>

#include "installer_fixture.h"
#include "nginx_server.h"

using namespace testing_support;

namespace {

const std::string agentPath = "/pi_install_agent_pi_T19q7c_hostk64";
const std::string downloadFailed = "Error: Download process failed - ";
const std::string advice =
    "\n\n. Check your internet connectivity, proxy server, firewall, and virus scanner settings "
    "and rerun the installer.\nInstallation failed.\n";

class NginxEndToEnd : public EndToEnd {
 protected:
  void SetUp() override {
    EndToEnd::SetUp();
    std::filesystem::create_directory(work.file("www"));
    writeFile(work.file("www") + agentPath, readFile(agent));
    pack(installer, "");
  }
  // A run with a fresh cache; the host's own certificate and proxy settings
  // are replaced by `environment`.
  ProcessResult runFrom(const std::string& url, std::vector<std::string> environment = {}) {
    std::filesystem::remove_all(work.file("home"));
    environment.insert(environment.begin(), {"SSL_CERT_FILE=", "SSL_CERT_DIR=", "http_proxy=",
                                             "all_proxy=", "ALL_PROXY=", "no_proxy=", "NO_PROXY=",
                                             "QZ_INTERNAL_INSTALL_AGENT_URL=" + url});
    return run(installer, {}, environment);
  }
  bool agentCached() {
    return pathExists(work.file("home/.orvane/installagent/T19q7c/hostk64/installagent/install"));
  }
};

// A forward proxy on loopback that passes every connection on to `port` and
// records the first request line of each.
class RecordingProxy {
 public:
  explicit RecordingProxy(int port) : target_(port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd_, reinterpret_cast<sockaddr*>(&address), length);
    listen(fd_, 8);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
      for (int client; (client = accept(fd_, nullptr, nullptr)) >= 0; close(client)) relay(client);
    });
  }
  ~RecordingProxy() {
    shutdown(fd_, SHUT_RDWR);  // ends the accept() above
    thread_.join();
    close(fd_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::string takeRequestLines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(lines_, "");
  }

 private:
  // Copies bytes both ways until either side closes.
  void relay(int client) {
    int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(target_);
    bool first = true;
    if (connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      pollfd ends[] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      char buffer[65536];
      for (ssize_t count = 1; count > 0 && poll(ends, 2, -1) > 0;) {
        int from = ends[0].revents != 0 ? client : server;
        count = recv(from, buffer, sizeof buffer, 0);
        if (count > 0 && from == client && std::exchange(first, false)) record(buffer, count);
        if (count > 0) send(from == client ? server : client, buffer, count, MSG_NOSIGNAL);
      }
    }
    close(server);
  }
  void record(const char* data, ssize_t count) {
    std::string request(data, count);
    std::lock_guard<std::mutex> lock(mutex_);
    lines_ += request.substr(0, request.find("\r\n")) + "\n";
  }

  int fd_ = socket(AF_INET, SOCK_STREAM, 0);
  int port_ = 0, target_;
  std::thread thread_;
  std::mutex mutex_;
  std::string lines_;
};

TEST_F(NginxEndToEnd, OnlyAChangedArchiveIsDownloaded) {
  Nginx nginx(work.file("www"));
  ASSERT_TRUE(nginx.started());
  auto runAgainstNginx = [&] {
    return run(installer, {}, {"QZ_INTERNAL_INSTALL_AGENT_URL=" + nginx.url(agentPath)});
  };

  ProcessResult cold = runAgainstNginx();
  EXPECT_EQ(cold.exitStatus, 0) << cold.standardError;
  EXPECT_EQ(nginx.takeAccessLog(), "http HEAD " + agentPath + "\nhttp GET " + agentPath + "\n");
  EXPECT_EQ(runAgainstNginx().exitStatus, 0);
  EXPECT_EQ(nginx.takeAccessLog(), "http HEAD " + agentPath + "\n");

  // A new archive: another size and modification time, so another ETag.
  makeZip(work.file("v2.zip"), {{"install", "echo v2 > \"$AGENT_RECORD\""}});
  writeFile(work.file("www") + agentPath, readFile(work.file("v2.zip")));
  utimbuf later{time(nullptr) + 60, time(nullptr) + 60};
  utime((work.file("www") + agentPath).c_str(), &later);
  EXPECT_EQ(runAgainstNginx().exitStatus, 0);
  EXPECT_EQ(nginx.takeAccessLog(), "http HEAD " + agentPath + "\nhttp GET " + agentPath + "\n");
  EXPECT_EQ(readFile(record), "v2\n");
}

TEST_F(NginxEndToEnd, HttpsTrustsOnlyItsCertificatesAndIsNeverDowngraded) {
  TestCertificates certificates;
  Nginx nginx(work.file("www"), &certificates,
              "location = /to-http { return 302 http://127.0.0.1:HTTP_PORT" + agentPath + "; }\n"
              "location = /to-https { return 302 https://127.0.0.1:HTTPS_PORT" + agentPath + "; }");
  ASSERT_TRUE(nginx.started());
  const std::string trusted = "SSL_CERT_FILE=" + certificates.ca();
  struct Case {
    std::string name, url, certificates;
    int exitStatus;
    std::string standardError, accessLog;
  } cases[] = {
      {"the server's CA in SSL_CERT_FILE", nginx.secureUrl(agentPath), trusted, 0, "",
       "https HEAD " + agentPath + "\nhttps GET " + agentPath + "\n"},
      {"a name the certificate does not hold", nginx.secureUrl(agentPath, "localhost"), trusted, 255,
       downloadFailed + "SSL peer certificate or SSH remote key was not OK" + advice, ""},
      {"another CA", nginx.secureUrl(agentPath), "SSL_CERT_FILE=" + certificates.otherCa(), 255,
       downloadFailed + "SSL peer certificate or SSH remote key was not OK" + advice, ""},
      {"https redirected to http", nginx.secureUrl("/to-http"), trusted, 255,
       downloadFailed + "Unsupported protocol" + advice, "https HEAD /to-http\n"},
      {"http redirected to https", nginx.url("/to-https"), trusted, 0, "",
       "http HEAD /to-https\nhttps HEAD " + agentPath + "\nhttp GET /to-https\nhttps GET " +
           agentPath + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessResult result = runFrom(c.url, {c.certificates});
    EXPECT_EQ(result.exitStatus, c.exitStatus);
    EXPECT_EQ(result.standardError, c.standardError);
    EXPECT_EQ(nginx.takeAccessLog(), c.accessLog);
    EXPECT_EQ(agentCached(), c.exitStatus == 0);
  }
}

TEST_F(NginxEndToEnd, ProxyVariablesCarryTheRequests) {
  Nginx nginx(work.file("www"));
  ASSERT_TRUE(nginx.started());
  RecordingProxy proxy(nginx.httpPort());
  const std::string bothRequests = "http HEAD " + agentPath + "\nhttp GET " + agentPath + "\n";
  struct Case {
    std::vector<std::string> environment;
    std::string proxied;
  } cases[] = {
      {{"http_proxy=" + proxy.url()}, "HEAD " + nginx.url(agentPath) + " HTTP/1.1\n"},
      {{"ALL_PROXY=" + proxy.url()}, "HEAD " + nginx.url(agentPath) + " HTTP/1.1\n"},
      {{"http_proxy=" + proxy.url(), "NO_PROXY=127.0.0.1"}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.environment.front());
    ProcessResult result = runFrom(nginx.url(agentPath), c.environment);
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    EXPECT_EQ(proxy.takeRequestLines(), c.proxied);
    EXPECT_EQ(nginx.takeAccessLog(), bothRequests);
  }
}

}  // namespace
