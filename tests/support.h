// What the tests share: temporary directories, fake tools first on PATH,
// child processes, ZIP archives from the real zip tool, and the loopback
// servers the launcher downloads from.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testing_support {

// A fresh directory under /tmp, removed with everything in it on destruction.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// How a process ended: an exit code, or the signal that killed it (never both).
struct ProcessResult {
  int exitCode = -1;
  int signal = 0;
  std::string standardOutput, standardError;
};

// argv (argv[0] a path) in a session of its own, so that the test can signal
// its whole process group as a terminal would, with /dev/null as input.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv);
  ~ChildProcess();  // waits for it when wait() was not called
  pid_t pid() const { return pid_; }
  ProcessResult wait();

 private:
  TemporaryDirectory outputs_;
  pid_t pid_ = -1;
};

ProcessResult runProcess(const std::vector<std::string>& argv);
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content, int mode = 0644);
bool pathExists(const std::string& path);
// Polls for up to five seconds.
template <typename Condition>
void waitUntil(Condition condition) {
  for (int i = 0; i < 500 && !condition(); ++i) usleep(10000);
}

// `zipPath` made by the real zip from (member name, content) pairs; a member
// named "install" gets mode 0755.
void makeZip(const std::string& zipPath, const std::vector<std::pair<std::string, std::string>>& members);
// An answer of 200 with an ETag of "v1" and `body`.
std::string okAnswer(const std::string& body);

// An HTTP server on a loopback port that answers each request with the raw
// bytes given for its "METHOD target" or, failing that, its target (for HEAD,
// the bytes up to the blank line), 404 for anything else; an empty answer
// closes the connection unanswered, and one with "Connection: close" closes
// it after. A request recorded is "METHOD target".
class ScriptedServer {
 public:
  ScriptedServer();
  ~ScriptedServer();
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // `trickle`: the body goes one byte every 20 ms.
  void answer(const std::string& request, const std::string& reply, bool trickle = false);
  std::vector<std::string> takeRequests();
  void reset();  // forgets the answers and the requests

 private:
  void serve(int connection);
  int port_, fd_;  // in this order: making fd_ sets port_
  std::thread acceptor_;
  std::vector<std::thread> connections_;
  std::mutex mutex_;
  std::map<std::string, std::pair<std::string, bool>> answers_;
  std::vector<std::string> requests_;
};

// nginx in front of `backend`'s port on a loopback https port of 127.0.0.1
// and 127.0.0.2, with a self-signed certificate for 127.0.0.1 and agents.test
// (its own CA); another CA signed nothing. Stopped on destruction.
class TlsFront {
 public:
  explicit TlsFront(int backendPort);
  ~TlsFront();
  TlsFront(const TlsFront&) = delete;
  TlsFront& operator=(const TlsFront&) = delete;
  std::string url(const std::string& host = "127.0.0.1") const;
  std::string ca() const { return directory_.file("ca.crt"); }
  std::string otherCa() const { return directory_.file("other.crt"); }

 private:
  TemporaryDirectory directory_;
  int port_ = 0;
  pid_t pid_ = 0;
};

int portOf(const std::string& url);

}  // namespace testing_support
