#include "nginx_server.h"

#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace testing_support {

namespace {

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

bool acceptsConnections(int port) {
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = loopback(port);
  bool accepted = connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(probe);
  return accepted;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
}

void runOpenssl(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "/usr/bin/openssl");
  ProcessResult result = runProcess(arguments);
  if (result.exitStatus != 0) throw std::runtime_error("openssl: " + result.standardError);
}

}  // namespace

int freePort() {
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  bind(probe, reinterpret_cast<sockaddr*>(&address), length);
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  close(probe);
  return ntohs(address.sin_port);
}

TestCertificates::TestCertificates() {
  const std::vector<std::string> newKey = {"-newkey", "ec", "-pkeyopt",
                                           "ec_paramgen_curve:P-256", "-nodes"};
  for (const char* name : {"ca", "other"}) {
    std::vector<std::string> arguments = {"req", "-x509", "-days", "2", "-subj", "/CN=qz test CA",
                                          "-keyout", directory_.file(std::string(name) + ".key"),
                                          "-out", directory_.file(std::string(name) + ".crt")};
    arguments.insert(arguments.end(), newKey.begin(), newKey.end());
    runOpenssl(arguments);
  }
  std::vector<std::string> request = {"req", "-subj", "/CN=agents.test", "-keyout", key(),
                                      "-out", directory_.file("server.csr")};
  request.insert(request.end(), newKey.begin(), newKey.end());
  runOpenssl(request);
  writeFile(directory_.file("names"), "subjectAltName=DNS:agents.test,IP:127.0.0.1\n");
  runOpenssl({"x509", "-req", "-days", "2", "-in", directory_.file("server.csr"), "-CA", ca(),
              "-CAkey", directory_.file("ca.key"), "-CAcreateserial", "-extfile",
              directory_.file("names"), "-out", certificate()});
}

Nginx::Nginx(const std::string& root, const TestCertificates* tls, const std::string& locations) {
  std::filesystem::create_directory(directory_.file("t"));
  for (int attempt = 0; attempt < 5 && !started(); ++attempt) start(root, tls, locations);
}

Nginx::~Nginx() {
  if (!started()) return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
}

std::string Nginx::url(const std::string& path, const std::string& host) const {
  return "http://" + host + ":" + std::to_string(httpPort_) + path;
}

std::string Nginx::secureUrl(const std::string& path, const std::string& host) const {
  return "https://" + host + ":" + std::to_string(httpsPort_) + path;
}

std::string Nginx::takeAccessLog() {
  std::string log = readFile(directory_.file("access.log"));
  truncate(directory_.file("access.log").c_str(), 0);
  return log;
}

// Starts nginx on fresh ports and waits until it listens; pid_ stays 0 when
// it exits instead (a port was taken meanwhile).
void Nginx::start(const std::string& root, const TestCertificates* tls,
                  const std::string& locations) {
  httpPort_ = freePort();
  httpsPort_ = tls != nullptr ? freePort() : 0;
  writeFile(directory_.file("nginx.conf"), configuration(root, tls, locations));
  const char* argv[] = {"/usr/sbin/nginx", "-p",   directory_.path().c_str(), "-c",
                        "nginx.conf",      nullptr};
  pid_t pid;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return;
  for (int wait = 0; !acceptsConnections(httpPort_) ||
                     (httpsPort_ != 0 && !acceptsConnections(httpsPort_));
       ++wait) {
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

// One process in the foreground, running as the test user, so that it can
// read the test's files and the test can stop it.
std::string Nginx::configuration(const std::string& root, const TestCertificates* tls,
                                 const std::string& locations) const {
  std::string text = R"(daemon off;
master_process off;
pid @/nginx.pid;
error_log @/error.log;
events {}
http {
  log_format requests '$scheme $request_method $uri';
  access_log @/access.log requests;
  client_body_temp_path @/t; proxy_temp_path @/t; fastcgi_temp_path @/t;
  uwsgi_temp_path @/t; scgi_temp_path @/t;
  server {
    listen 127.0.0.1:HTTP_PORT;
    TLS
    root ROOT;
    LOCATIONS
  }
}
)";
  replaceAll(text, "TLS",
             tls == nullptr ? ""
                            : "listen 127.0.0.1:HTTPS_PORT ssl; ssl_certificate " +
                                  tls->certificate() + "; ssl_certificate_key " + tls->key() + ";");
  replaceAll(text, "LOCATIONS", locations);
  replaceAll(text, "HTTPS_PORT", std::to_string(httpsPort_));
  replaceAll(text, "HTTP_PORT", std::to_string(httpPort_));
  replaceAll(text, "ROOT", root);
  replaceAll(text, "@", directory_.path());
  return text;
}

}  // namespace testing_support
