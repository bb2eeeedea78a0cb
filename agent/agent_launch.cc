#include "agent/agent_launch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "launcher/core/build_constants.h"
#include "launcher/core/interruption_cleanup.h"
#include "launcher/core/paths.h"
#include "launcher/core/shell_command.h"

extern char** environ;

namespace {

bool isRegularFile(const std::string& path, bool executable) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
         (!executable || access(path.c_str(), X_OK) == 0);
}

// Whether the shell finds "sh" through PATH (the system's default path when
// PATH is unset; an empty entry is the working directory).
bool shellOnPath() {
  const char* variable = std::getenv("PATH");
  std::string path = variable != nullptr ? variable : "/bin:/usr/bin";
  for (size_t start = 0;;) {
    size_t end = path.find(':', start);
    std::string directory = path.substr(start, end - start);
    if (isRegularFile((directory.empty() ? "." : directory) + "/sh", true)) return true;
    if (end == std::string::npos) return false;
    start = end + 1;
  }
}

// What execve needs for "/bin/sh -c LINE" with this environment: every
// string with its NUL, and a pointer for each.
size_t execSpace(const std::string& commandLine) {
  size_t space = sizeof("sh") + sizeof("-c") + commandLine.size() + 1 + 4 * sizeof(char*);
  for (char** variable = environ; *variable != nullptr; ++variable)
    space += std::char_traits<char>::length(*variable) + 1 + sizeof(char*);
  return space;
}

// argv[1] to argv[argc-1], each as one shell word followed by one blank; an
// empty argument becomes ''. Empty when there are no user arguments.
std::string joinArguments(int argumentCount, const char* const* arguments) {
  std::string joined;
  for (int i = 1; i < argumentCount; ++i) {
    std::string_view argument = arguments[i];
    joined += argument.empty() ? "''" : quoteArgument(argument);
    joined += ' ';
  }
  return joined;
}

// Whether the agent can be started with `commandLine`.
bool agentCanStart(const std::string& startScript, const std::string& commandLine) {
  long limit = sysconf(_SC_ARG_MAX);
  return isRegularFile(startScript, false) && isRegularFile("/bin/sh", true) && shellOnPath() &&
         (limit < 0 || execSpace(commandLine) <= static_cast<size_t>(limit));
}

}  // namespace

std::string agentCommandLine(const std::string& commandHead, const std::string& extractionDirectory,
                             int argumentCount, const char* const* arguments) {
  std::string bundlePath = joinAlways(extractionDirectory, bundleFileName);
  std::string line = commandHead;
  line.append(" -installbundle ").append(quotePath(bundlePath));
  if (argumentCount > 1) line.append(" ").append(joinArguments(argumentCount, arguments));
  return line;
}

Failure launchAgent(const std::string& startScript, const std::string& commandHead,
                    const std::string& extractionDirectory, int argumentCount,
                    const char* const* arguments) {
  std::string command =
      agentCommandLine(commandHead, extractionDirectory, argumentCount, arguments);
  if (!agentCanStart(startScript, command)) return Failure(std::string(agentStartFailedMessage));
  int rawStatus;
  {
    AgentRunning agentRunning;  // the agent reads the bundle until it ends
    rawStatus = runShellCommand(command).rawStatus;
  }
  if (rawStatus == -1) return Failure(std::string(agentStartFailedMessage));
  endRunIfUserInterrupted(rawStatus);  // the agent's own outcome is not looked at
  return {};
}
