#include "agent/agent_launch.h"

#include <exception>

#include "launcher/build_constants.h"
#include "launcher/shell_command.h"
#include "payload/interruption_cleanup.h"
#include "payload/payload_extraction.h"

std::string joinArguments(int argumentCount, const char* const* arguments) {
  std::string joined;
  for (int i = 1; i < argumentCount; ++i) {
    std::string_view argument = arguments[i];
    joined += argument.empty() ? "''" : quoteArgument(argument);
    joined += ' ';
  }
  return joined;
}

std::string agentCommandLine(const std::string& commandHead, const std::string& extractionDirectory,
                             int argumentCount, const char* const* arguments) {
  std::string bundlePath =
      extractionDirectory + std::string(pathSeparator) + std::string(bundleFileName);
  std::string tail = " -installbundle " + quotePath(bundlePath);
  if (argumentCount > 1) tail += " " + joinArguments(argumentCount, arguments);
  return commandHead + tail;
}

bool launchAgent(const std::string& commandHead, const std::string& extractionDirectory,
                 int argumentCount, const char* const* arguments, MessageReporter report) {
  std::string command =
      agentCommandLine(commandHead, extractionDirectory, argumentCount, arguments);
  int rawStatus = -1;
  try {
    DeferredInterruptions agentRunning;  // the agent reads the bundle until it ends
    rawStatus = runShellCommand(command);
  } catch (const std::exception&) {
    // not started: rawStatus stays -1
  }
  if (rawStatus == -1) {
    report(agentStartFailedMessage, true);
    return false;
  }
  endRunIfUserInterrupted(rawStatus);  // the agent's own outcome is not looked at
  return true;
}
