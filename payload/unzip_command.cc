#include "payload/unzip_command.h"

#include <signal.h>
#include <stdlib.h>

#include <optional>

#include "launcher/shell_command.h"
#include "payload/interruption_cleanup.h"

namespace {

constexpr int interruptedByUser = 80;

// Takes an environment variable away for its lifetime and puts it back after.
class UnsetVariable {
 public:
  explicit UnsetVariable(const char* name) : name_(name) {
    if (const char* value = getenv(name)) saved_ = value;
    if (saved_) unsetenv(name);
  }
  ~UnsetVariable() {
    if (saved_) setenv(name_, saved_->c_str(), 1);
  }
  UnsetVariable(const UnsetVariable&) = delete;
  UnsetVariable& operator=(const UnsetVariable&) = delete;

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

}  // namespace

std::string literalArchiveName(std::string_view path) {
  // Info-ZIP matches only the last name as a pattern; the directories before
  // it are opened as they are written.
  size_t nameStart = path.find_last_of('/') + 1;  // 0 without a separator
  std::string literal(path.substr(0, nameStart));
  for (char c : path.substr(nameStart)) {
    if (c == '*' || c == '?' || c == '[')
      literal += {'[', c, ']'};
    else
      literal += c;
  }
  return literal;
}

std::string unzipCommandLine(std::string_view tool, std::string_view options,
                             const std::string& archive, const std::string& directory) {
  return quoteArgument(tool) + " " + std::string(options) + " " +
         quotePath(literalArchiveName(archive)) + " -d " + quotePath(directory);
}

int runUnzip(const std::string& commandLine) {
  UnsetVariable options("UNZIP"), moreOptions("UNZIPOPT");
  int rawStatus = runTool(commandLine);
  if (shellExitCode(rawStatus) == interruptedByUser) endRunBy(SIGINT);
  return rawStatus;
}
