#include "launcher/core/shell_command.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "launcher/core/command_words.h"
#include "launcher/core/running_executable.h"

namespace {

bool isBlankOrTab(char c) { return c == ' ' || c == '\t'; }

// Characters that a POSIX shell (or bash standing in for it) gives a meaning
// of its own anywhere in a word, besides blanks and tabs.
bool isOtherShellSpecial(char c) {
  constexpr std::string_view specials = "\n\r\v\f|&;<>()$`\\\"'*?[#~{}";
  return specials.find(c) != std::string_view::npos;
}

}  // namespace

ToolOutcome runShellCommand(const std::string& commandLine) {
  std::optional<std::vector<std::string>> words = splitCommandWords(commandLine);
  if (!words) return {-1, ""};  // not a line of the launcher's quoting
  HeldFile installer{executablePath(), runningExecutableDescriptor()};
  if (std::optional<ToolOutcome> outcome = runBuiltinTool(*words, installer)) return *outcome;
  // The kernel takes at most 32 pages for one string, its NUL included.
  const size_t longestExecString = 32 * static_cast<size_t>(sysconf(_SC_PAGESIZE));
  if (commandLine.size() >= longestExecString) return {-1, ""};
  return {std::system(commandLine.c_str()), ""};
}

std::string singleQuoted(std::string_view text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  quoted += '\'';
  return quoted;
}

std::string quoteArgument(std::string_view text) {
  bool hasBlank = false;
  for (char c : text) {
    if (isOtherShellSpecial(c)) return singleQuoted(text);
    hasBlank = hasBlank || isBlankOrTab(c);
  }
  if (!hasBlank) return std::string(text);
  std::string quoted = "\"";
  quoted.append(text).append("\"");
  return quoted;
}

std::string notAnOption(std::string_view path) {
  if (!path.empty() && path.front() == '-') return "./" + std::string(path);
  return std::string(path);
}

std::string quotePath(std::string_view path) { return quoteArgument(notAnOption(path)); }

int shellExitCode(int rawStatus) {
  if (rawStatus == -1 || !WIFEXITED(rawStatus)) return -1;
  return WEXITSTATUS(rawStatus);
}
