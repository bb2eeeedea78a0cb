// Helpers shared by the tests: scratch space that cleans itself up, environment
// overrides that are undone, fake tools first on PATH, captured messages, child
// processes with their output, and ZIP archives made with the real `zip` tool.
#pragma once

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

// A directory of fake tools put first on PATH for its lifetime.
class FakeToolDirectory {
 public:
  FakeToolDirectory();
  // Writes an executable `sh` script named `name` with the given body.
  void add(const std::string& name, const std::string& body) const;
  const std::string& path() const { return directory_.path(); }

 private:
  TemporaryDirectory directory_;
  std::optional<ScopedEnvironment> path_;
};

// A MessageReporter for tests: error reports are collected, and
// takeCapturedMessages() hands them over and starts afresh.
void captureMessage(std::string_view message, bool isError);
std::vector<std::string> takeCapturedMessages();

struct ProcessResult {
  int exitStatus = -1;  // exit code, or 128 + signal number
  std::string standardOutput;
  std::string standardError;
};

// Runs `argv` with the current environment plus `environment` ("NAME=value"
// overrides, "NAME" alone unsets) and waits for it; standard input is /dev/null.
ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment = {});

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content, int mode = 0644);
bool pathExists(const std::string& path);

// Makes `zipPath` with the real `zip` tool from (member name, content) pairs.
void makeZip(const std::string& zipPath,
             const std::vector<std::pair<std::string, std::string>>& members);

}  // namespace testing_support
