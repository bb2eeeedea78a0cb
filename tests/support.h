// What the tests share: temporary directories, child processes, ZIP archives
// from the real zip tool, and the loopback servers the launcher downloads from.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testing_support {

// A fresh directory under /tmp, removed with everything in it on destruction,
// a file system a row mounted in it included.
class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    char pathTemplate[] = "/tmp/qztest-XXXXXX";
    if (mkdtemp(pathTemplate) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pathTemplate;
  }
  ~TemporaryDirectory() {
    std::ifstream mounts("/proc/self/mounts");
    for (std::string device, point, rest; mounts >> device >> point && std::getline(mounts, rest);)
      if (point.rfind(path_ + "/", 0) == 0) umount2(point.c_str(), MNT_DETACH);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string readFile(const std::string& path) {
  std::ostringstream content;
  content << std::ifstream(path, std::ios::binary).rdbuf();
  return content.str();
}

inline void writeFile(const std::string& path, const std::string& content, int mode = 0644) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  chmod(path.c_str(), mode);
}

inline bool pathExists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

// Polls every millisecond until `condition` holds; false when it still does
// not after `seconds`, a bound that only a broken run reaches.
template <typename Condition>
bool waitFor(Condition condition, int seconds = 60) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!condition())
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    else
      usleep(1000);
  return true;
}

// How a process ended: an exit code, or the signal that killed it (never
// both); and the most memory it (or a child it waited for) held.
struct ProcessResult {
  int exitCode = -1, signal = 0;
  std::string standardOutput, standardError;
  long peakKiB = 0;
};

// argv (argv[0] a path) in a session of its own, so that the test can signal
// its whole process group as a terminal would, with /dev/null as input and
// standard error a file, or a pipe whose reading end is already closed, and
// no other descriptor.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv, bool closedStandardError = false) {
    std::vector<char*> arguments;
    for (const std::string& argument : argv)
      arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    std::string out = outputs_.file("out"),
                err = outputs_.file("err");  // no allocation after fork()
    int closedPipe[2] = {-1, -1};
    if (closedStandardError && pipe2(closedPipe, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe failed");
    if ((pid_ = fork()) != 0) {
      if (closedStandardError) close(closedPipe[1]), close(closedPipe[0]);
      return;
    }
    close(closedPipe[0]);
    // Signals the test's own starter ignored (a background job's SIGINT) are not the child's.
    for (int interruption : {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGPIPE, SIGXFSZ})
      signal(interruption, SIG_DFL);
    setsid();
    dup2(open("/dev/null", O_RDONLY | O_CLOEXEC), 0);
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600), 1);
    dup2(closedStandardError ? closedPipe[1]
                             : open(err.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600),
         2);
    close_range(3, ~0U, 0);  // nothing of the test's, or of whatever started it, is passed on
    execv(arguments[0], arguments.data());
    _exit(127);
  }
  ~ChildProcess() {
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }  // when wait() was not called
  pid_t pid() const { return pid_; }
  bool running() const {
    siginfo_t info{};
    return waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
  }
  ProcessResult wait() {
    int status = 0;
    struct rusage usage {};
    wait4(std::exchange(pid_, -1), &status, 0, &usage);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1,
            WIFSIGNALED(status) ? WTERMSIG(status) : 0, readFile(outputs_.file("out")),
            readFile(outputs_.file("err")), usage.ru_maxrss};
  }

 private:
  TemporaryDirectory outputs_;
  pid_t pid_ = -1;
};

inline ProcessResult runProcess(const std::vector<std::string>& argv) {
  return ChildProcess(argv).wait();
}

// `zipPath` made by the real zip from (member name, content) pairs; a member
// named "install" gets mode 0755.
inline void makeZip(const std::string& zipPath,
                    const std::vector<std::pair<std::string, std::string>>& members) {
  TemporaryDirectory staging;
  std::vector<std::string> command = {"/usr/bin/env", "-C", staging.path(), "zip",
                                      "-q",           "-X", zipPath};
  for (const auto& [name, content] : members) {
    std::filesystem::create_directories(std::filesystem::path(staging.file(name)).parent_path());
    writeFile(staging.file(name), content, name == "install" ? 0755 : 0644);
    command.push_back(name);
  }
  if (runProcess(command).exitCode != 0) throw std::runtime_error("zip failed: " + zipPath);
}

// An answer of 200 with `etag` and `body`.
inline std::string okAnswer(const std::string& body, const std::string& etag = "v1") {
  return "HTTP/1.1 200 OK\r\nETag: \"" + etag +
         "\"\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

inline int portOf(const std::string& url) { return std::stoi(url.substr(url.rfind(':') + 1)); }

// An HTTP server on a loopback port that answers each request with the raw
// bytes given for its "METHOD target" or, failing that, its target (for HEAD,
// the bytes up to the blank line of the last header block), 404 for anything
// else. A request recorded is "METHOD target". Answered with 200, a CONNECT
// becomes a tunnel to the address it names, as a proxy's.
class ScriptedServer {
 public:
  ScriptedServer() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    bind(fd_, reinterpret_cast<sockaddr*>(&address), length);
    listen(fd_, 16);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] {
      for (int connection; (connection = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
        connections_.emplace_back(&ScriptedServer::serve, this, connection);
    });
  }
  ~ScriptedServer() {
    release();
    shutdown(fd_, SHUT_RDWR);  // ends the accept() above
    acceptor_.join();
    for (std::thread& connection : connections_) connection.join();
    close(fd_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // `trickle`: the body goes one byte every 20 ms. `holdAt` >= 0: after that
  // many bytes of the body (0: before the status line) the answer waits for release().
  void answer(const std::string& request, const std::string& reply, bool trickle = false,
              long holdAt = -1) {
    std::lock_guard lock(mutex_);
    answers_[request] = {reply, trickle, holdAt};
  }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  std::vector<std::string> takeRequests() {
    std::lock_guard lock(mutex_);
    return std::exchange(requests_, {});
  }
  bool saw(const std::string& request) {
    std::lock_guard lock(mutex_);
    return std::find(requests_.begin(), requests_.end(), request) != requests_.end();
  }

 private:
  struct Reply {
    std::string bytes;
    bool trickle = false;
    long holdAt = -1;
  };

  static bool sendAll(int fd, const char* data, size_t size) {
    for (ssize_t sent; size > 0; data += sent, size -= sent)
      if ((sent = send(fd, data, size, MSG_NOSIGNAL)) <= 0) return false;
    return true;
  }
  void waitForRelease() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(120), [this] { return released_; });
  }

  // Answers requests on one connection until the client closes it.
  void serve(int connection) {
    std::string received;
    for (char buffer[65536];;) {
      size_t end = received.find("\r\n\r\n");
      if (end == std::string::npos) {
        ssize_t count = recv(connection, buffer, sizeof buffer, 0);
        if (count <= 0) break;
        received.append(buffer, count);
        continue;
      }
      std::string method, target;
      std::istringstream(received.substr(0, end)) >> method >> target;
      received.erase(0, end + 4);
      Reply reply{"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"};
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(method + " " + target);
        for (const std::string& key : {target, method + " " + target})
          if (answers_.count(key) != 0) reply = answers_[key];
      }
      const std::string& bytes = reply.bytes;
      size_t body = 0;  // past interim (1xx) answers to the final one's end of headers
      for (size_t start = 0;
           (body = bytes.find("\r\n\r\n", start) + 4), bytes.compare(start, 10, "HTTP/1.1 1") == 0;)
        start = body;
      size_t last = method == "HEAD" ? body : bytes.size();
      size_t hold = reply.holdAt < 0 ? std::string::npos : body + reply.holdAt;
      bool sent = true;
      for (size_t at = 0; sent && at < last;) {
        if (at == hold || (at == 0 && reply.holdAt == 0))
          waitForRelease(), hold = std::string::npos;
        size_t next = at < body ? body : reply.trickle ? at + 1 : last;
        if (hold > at && hold < next) next = hold;
        if (reply.trickle && at >= body) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sent = sendAll(connection, &bytes[at], std::min(next, last) - at);
        at = std::min(next, last);
      }
      if (!sent) break;
      if (method == "CONNECT" && bytes.compare(0, 12, "HTTP/1.1 200") == 0) {
        tunnel(connection, target);
        break;
      }
    }
    close(connection);
  }

  // Relays bytes between `connection` and "host:port" until either side closes.
  static void tunnel(int connection, const std::string& target) {
    int far = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{
        AF_INET, htons(static_cast<uint16_t>(portOf(target))), {htonl(INADDR_LOOPBACK)}, {}};
    if (connect(far, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      pollfd ends[] = {{connection, POLLIN, 0}, {far, POLLIN, 0}};
      char buffer[65536];
      for (ssize_t count = 1; count > 0 && poll(ends, 2, -1) > 0;)
        for (int from = 0; from < 2 && count > 0; ++from)
          if (ends[from].revents != 0 &&
              (count = recv(ends[from].fd, buffer, sizeof buffer, 0)) > 0)
            count = sendAll(ends[1 - from].fd, buffer, count) ? count : 0;
    }
    close(far);
  }

  int fd_, port_ = 0;
  std::thread acceptor_;
  std::vector<std::thread> connections_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool released_ = false;
  std::map<std::string, Reply> answers_;
  std::vector<std::string> requests_;
};

// nginx in front of `backendPort` on a loopback https port, started by the
// project's agent-server script, with a self-signed certificate for
// 127.0.0.1 and agents.test (its own CA); another CA signed nothing. Its
// files go in `directory`, which it makes. Stopped on destruction.
class TlsFront {
 public:
  TlsFront(int backendPort, const std::string& directory) : directory_(directory) {
    const std::string& d = directory_;
    std::filesystem::create_directories(d);
    for (std::string name : {"ca", "other"})  // self-signed: each is its own CA
      if (runProcess(
              {"/bin/sh", "-c",
               "cd " + d +
                   " && openssl req -x509 -days 2 -subj /CN=agents.test -addext subjectAltName="
                   "DNS:agents.test,IP:127.0.0.1 -newkey ec -pkeyopt ec_paramgen_curve:P-256 "
                   "-nodes -keyout " +
                   name + ".key -out " + name + ".crt"})
              .exitCode != 0)
        throw std::runtime_error("openssl failed");
    ProcessResult started =
        runProcess({QZ_AGENT_SERVER_SCRIPT, "start", "--tls", ca(), d + "/ca.key", "--proxy",
                    "http://127.0.0.1:" + std::to_string(backendPort), d + "/server"});
    if (started.exitCode != 0)
      throw std::runtime_error("cannot start nginx: " + started.standardError);
    port_ = portOf(started.standardOutput.substr(0, started.standardOutput.find('\n')));
  }
  ~TlsFront() { runProcess({QZ_AGENT_SERVER_SCRIPT, "stop", directory_ + "/server"}); }
  std::string url() const { return "https://127.0.0.1:" + std::to_string(port_); }
  std::string ca() const { return directory_ + "/ca.crt"; }
  std::string otherCa() const { return directory_ + "/other.crt"; }

 private:
  std::string directory_;
  int port_ = 0;
};

}  // namespace testing_support
