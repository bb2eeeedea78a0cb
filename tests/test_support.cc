#include "test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

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

ScopedEnvironment::ScopedEnvironment(std::string name, std::optional<std::string> value)
    : name_(std::move(name)) {
  if (const char* old = getenv(name_.c_str())) previous_ = old;
  if (value)
    setenv(name_.c_str(), value->c_str(), 1);
  else
    unsetenv(name_.c_str());
}

ScopedEnvironment::~ScopedEnvironment() {
  if (previous_)
    setenv(name_.c_str(), previous_->c_str(), 1);
  else
    unsetenv(name_.c_str());
}

FakeTools::FakeTools() : path_("PATH", directory_.path() + ":" + getenv("PATH")) {}

void FakeTools::add(const std::string& name, const std::string& body) const {
  writeFile(directory_.file(name), "#!/bin/sh\n" + body + "\n", 0755);
}

namespace {
std::vector<std::string> capturedMessages;
}

void captureMessage(std::string_view message, bool isError) {
  capturedMessages.push_back((isError ? "" : "[stdout] ") + std::string(message));
}

std::vector<std::string> takeCapturedMessages() { return std::exchange(capturedMessages, {}); }

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outputs_.file("out").c_str(), O_WRONLY | O_CREAT,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, outputs_.file("err").c_str(), O_WRONLY | O_CREAT,
                                   0600);
  // A session of its own: no tool can prompt at the developer's terminal, and
  // the test can signal the whole process group as a terminal would.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
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
  waitpid(pid_, &status, 0);
  pid_ = -1;
  int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return {exitStatus, readFile(outputs_.file("out")), readFile(outputs_.file("err"))};
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

void makeZip(const std::string& zipPath,
             const std::vector<std::pair<std::string, std::string>>& members) {
  TemporaryDirectory staging;
  std::vector<std::string> command = {"/usr/bin/env", "-C", staging.path(), "zip",
                                      "-q",           "-X", zipPath};
  for (const auto& [name, content] : members) {
    std::filesystem::create_directories(std::filesystem::path(staging.file(name)).parent_path());
    writeFile(staging.file(name), content, name == "install" ? 0755 : 0644);
    command.push_back(name);
  }
  if (runProcess(command).exitStatus != 0) throw std::runtime_error("zip failed: " + zipPath);
}

}  // namespace testing_support
