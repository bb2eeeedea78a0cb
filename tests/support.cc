#include "support.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace testing_support {

TemporaryDirectory::TemporaryDirectory() {
  char pathTemplate[] = "/tmp/qztest-XXXXXX";
  if (mkdtemp(pathTemplate) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pathTemplate;
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outputs_.file("out").c_str(), O_WRONLY | O_CREAT, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, outputs_.file("err").c_str(), O_WRONLY | O_CREAT, 0600);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // Signals the test's own starter ignored (a background job's SIGINT) are not the child's.
  sigset_t interruptions;
  sigemptyset(&interruptions);
  for (int signal : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) sigaddset(&interruptions, signal);
  posix_spawnattr_setsigdefault(&attributes, &interruptions);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> arguments;
  for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
  arguments.push_back(nullptr);
  int spawned = posix_spawn(&pid_, arguments[0], &actions, &attributes, arguments.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("cannot start " + argv[0]);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) waitpid(pid_, nullptr, 0);
}

ProcessResult ChildProcess::wait() {
  int status = 0;
  waitpid(std::exchange(pid_, -1), &status, 0);
  ProcessResult result{-1, 0, readFile(outputs_.file("out")), readFile(outputs_.file("err"))};
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

ProcessResult runProcess(const std::vector<std::string>& argv) { return ChildProcess(argv).wait(); }

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void writeFile(const std::string& path, const std::string& content, int mode) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  chmod(path.c_str(), mode);
}

bool pathExists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

std::string okAnswer(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nETag: \"v1\"\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

void makeZip(const std::string& zipPath, const std::vector<std::pair<std::string, std::string>>& members) {
  TemporaryDirectory staging;
  std::vector<std::string> command = {"/usr/bin/env", "-C", staging.path(), "zip", "-q", "-X", zipPath};
  for (const auto& [name, content] : members) {
    std::filesystem::create_directories(std::filesystem::path(staging.file(name)).parent_path());
    writeFile(staging.file(name), content, name == "install" ? 0755 : 0644);
    command.push_back(name);
  }
  if (runProcess(command).exitCode != 0) throw std::runtime_error("zip failed: " + zipPath);
}

namespace {

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

int listenOnLoopback(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  listen(fd, 16);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return fd;
}

bool sendAll(int fd, const char* data, size_t size) {
  for (ssize_t sent; size > 0; data += sent, size -= sent)
    if ((sent = send(fd, data, size, MSG_NOSIGNAL)) <= 0) return false;
  return true;
}

}  // namespace

ScriptedServer::ScriptedServer() : fd_(listenOnLoopback(&port_)) {
  acceptor_ = std::thread([this] {
    for (int connection; (connection = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
      connections_.emplace_back(&ScriptedServer::serve, this, connection);
  });
}

ScriptedServer::~ScriptedServer() {
  shutdown(fd_, SHUT_RDWR);  // ends the accept() above
  acceptor_.join();
  for (std::thread& connection : connections_) connection.join();
  close(fd_);
}

void ScriptedServer::answer(const std::string& request, const std::string& reply, bool trickle) {
  std::lock_guard lock(mutex_);
  answers_[request] = {reply, trickle};
}

void ScriptedServer::reset() {
  std::lock_guard lock(mutex_);
  answers_.clear();
  requests_.clear();
}

std::vector<std::string> ScriptedServer::takeRequests() {
  std::lock_guard lock(mutex_);
  return std::exchange(requests_, {});
}

// Answers requests on one connection until the client closes it.
void ScriptedServer::serve(int connection) {
  std::string received;
  for (char buffer[65536];;) {
    size_t end = received.find("\r\n\r\n");
    if (end == std::string::npos) {
      ssize_t count = recv(connection, buffer, sizeof buffer, 0);
      if (count <= 0) break;
      received.append(buffer, count);
      continue;
    }
    std::istringstream line(received.substr(0, received.find("\r\n")));
    received.erase(0, end + 4);
    std::string method, target;
    line >> method >> target;
    std::pair<std::string, bool> reply = {"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", false};
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(method + " " + target);
      for (const std::string& key : {method + " " + target, target})
        if (answers_.count(key) != 0) {
          reply = answers_[key];
          break;
        }
    }
    const std::string& bytes = reply.first;
    if (bytes.empty()) break;  // hang up unanswered
    size_t body = bytes.find("\r\n\r\n") + 4;
    if (!sendAll(connection, bytes.data(), method == "HEAD" || reply.second ? body : bytes.size()))
      break;
    bool sent = true;
    for (size_t at = body; reply.second && method != "HEAD" && sent && at < bytes.size(); ++at) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      sent = sendAll(connection, &bytes[at], 1);
    }
    if (!sent || bytes.find("Connection: close") < body) break;
  }
  close(connection);
}


int portOf(const std::string& url) { return std::stoi(url.substr(url.rfind(':') + 1)); }

namespace {

void runOpenssl(const std::string& directory, const std::string& arguments) {
  ProcessResult result = runProcess({"/bin/sh", "-c", "cd " + directory + " && openssl " + arguments});
  if (result.exitCode != 0) throw std::runtime_error("openssl: " + result.standardError);
}

bool acceptsConnections(int port) {
  int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback(port);
  bool accepted = connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(probe);
  return accepted;
}

}  // namespace

TlsFront::TlsFront(int backendPort) {
  for (std::string name : {"ca", "other"})  // self-signed: each is its own CA
    runOpenssl(directory_.path(), "req -x509 -days 2 -subj /CN=agents.test -addext subjectAltName=DNS:agents.test,"
               "IP:127.0.0.1 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + name + ".key -out " + name + ".crt");
  int probe = listenOnLoopback(&port_);
  close(probe);  // free a moment ago: nginx takes it next
  std::string d = directory_.path();
  writeFile(directory_.file("nginx.conf"),
            "daemon off; master_process off; pid " + d + "/pid; error_log " + d + "/error.log;\n"
            "events {}\nhttp { access_log off; client_body_temp_path " + d + "; proxy_temp_path " +
                d + ";\n  server { listen 127.0.0.1:" + std::to_string(port_) + " ssl; listen 127.0.0.2:" +
                std::to_string(port_) + " ssl; proxy_redirect off;\n"
            "    ssl_certificate " + d + "/ca.crt; ssl_certificate_key " + d + "/ca.key;\n"
            "    location / { proxy_pass http://127.0.0.1:" + std::to_string(backendPort) + "; } } }\n");
  const char* argv[] = {"/usr/sbin/nginx", "-p", d.c_str(), "-c", "nginx.conf", nullptr};
  if (posix_spawn(&pid_, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
    throw std::runtime_error("cannot start nginx");
  waitUntil([&] { return acceptsConnections(port_); });
}

TlsFront::~TlsFront() {
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
}

std::string TlsFront::url(const std::string& host) const {
  return "https://" + host + ":" + std::to_string(port_);
}

}  // namespace testing_support
