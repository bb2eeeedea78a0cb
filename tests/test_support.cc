#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace testing_support {

namespace {

void runOrThrow(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

std::string shellWord(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& overrides) {
  std::map<std::string, std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    variables[text.substr(0, text.find('='))] = text;
  }
  for (const std::string& change : overrides) {
    size_t equals = change.find('=');
    if (equals == std::string::npos)
      variables.erase(change);
    else
      variables[change.substr(0, equals)] = change;
  }
  std::vector<std::string> merged;
  for (auto& [name, entry] : variables) merged.push_back(entry);
  return merged;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (std::string& text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

// Reads both pipes until both are closed, so that neither child stream blocks.
void drain(int outFd, int errFd, std::string& out, std::string& err) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, n);
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
}

}  // namespace

TemporaryDirectory::TemporaryDirectory() {
  char pathTemplate[] = "/tmp/qztest-XXXXXX";
  if (mkdtemp(pathTemplate) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pathTemplate;
}

TemporaryDirectory::~TemporaryDirectory() {
  // Tests may leave read-only directories behind; make them removable first.
  std::string command =
      "chmod -R u+rwx " + shellWord(path_) + " 2>/dev/null; rm -rf " + shellWord(path_);
  if (std::system(command.c_str()) != 0)
    std::fprintf(stderr, "could not remove %s\n", path_.c_str());
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

FakeToolDirectory::FakeToolDirectory() {
  const char* oldPath = getenv("PATH");
  path_.emplace("PATH", directory_.path() + ":" + (oldPath ? oldPath : "/usr/bin:/bin"));
}

void FakeToolDirectory::add(const std::string& name, const std::string& body) const {
  writeFile(directory_.file(name), "#!/bin/sh\n" + body + "\n", 0755);
}

namespace {
std::vector<std::string> capturedMessages;
}

void captureMessage(std::string_view message, bool isError) {
  capturedMessages.push_back((isError ? "" : "[stdout] ") + std::string(message));
}

std::vector<std::string> takeCapturedMessages() { return std::exchange(capturedMessages, {}); }

ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment) {
  std::vector<std::string> arguments = argv;
  std::vector<std::string> variables = mergedEnvironment(environment);
  std::vector<char*> argumentPointers = pointers(arguments);
  std::vector<char*> variablePointers = pointers(variables);

  int outPipe[2], errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
  pid_t child = fork();
  if (child == 0) {
    int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    close(outPipe[0]);
    close(errPipe[0]);
    execve(argumentPointers[0], argumentPointers.data(), variablePointers.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  ProcessResult result;
  drain(outPipe[0], errPipe[0], result.standardOutput, result.standardError);
  int status = 0;
  waitpid(child, &status, 0);
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void writeFile(const std::string& path, const std::string& content, int mode) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path);
  }
  chmod(path.c_str(), mode);
}

bool pathExists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

void makeZip(const std::string& zipPath,
             const std::vector<std::pair<std::string, std::string>>& members) {
  TemporaryDirectory staging;
  std::string names;
  for (const auto& [name, content] : members) {
    std::string file = staging.file(name);
    runOrThrow("mkdir -p \"$(dirname " + shellWord(file) + ")\"");
    writeFile(file, content, name == "install" ? 0755 : 0644);
    names += " " + shellWord(name);
  }
  runOrThrow("cd " + shellWord(staging.path()) + " && zip -q -X " + shellWord(zipPath) + names);
}

}  // namespace testing_support
