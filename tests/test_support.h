// Helpers shared by the tests: scratch space that cleans itself up, environment
// overrides that are undone, fake tools first on PATH, captured messages, child
// processes with their output, and ZIP archives made with the real `zip` tool.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
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

// Sets (or, with std::nullopt, unsets) one environment variable for its lifetime.
class ScopedEnvironment {
 public:
  ScopedEnvironment(std::string name, std::optional<std::string> value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

// Fake tools, first on PATH for the lifetime of the object: for faults that
// the real tools cannot be made to show.
class FakeTools {
 public:
  FakeTools();
  // An executable `sh` script `name` with the given body.
  void add(const std::string& name, const std::string& body) const;

 private:
  TemporaryDirectory directory_;
  ScopedEnvironment path_;
};

// A MessageReporter for tests; takeCapturedMessages() hands over what was
// reported (standard output messages marked) and starts afresh.
void captureMessage(std::string_view message, bool isError);
std::vector<std::string> takeCapturedMessages();

struct ProcessResult {
  int exitStatus = -1;  // exit code, or 128 + signal number
  std::string standardOutput;
  std::string standardError;
};

// argv[0] (a path) started in a session of its own (no controlling terminal)
// with this process's environment and /dev/null as standard input. Prefix
// "/usr/bin/env" to change variables.
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

// Starts argv and waits for it.
ProcessResult runProcess(const std::vector<std::string>& argv);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content, int mode = 0644);
bool pathExists(const std::string& path);

// Makes `zipPath` with the real `zip` tool from (member name, content) pairs;
// a member named "install" gets mode 0755.
void makeZip(const std::string& zipPath,
             const std::vector<std::pair<std::string, std::string>>& members);

}  // namespace testing_support
