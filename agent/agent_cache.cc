#include "agent/agent_cache.h"

#include <sys/stat.h>

#include <exception>

#include "agent/agent_cache_layout.h"
#include "agent/local_agent_archive.h"
#include "launcher/shell_command.h"

namespace {

constexpr std::string_view initializationFailed = "Failed to initialize the install agent.";

// Unpacks the archive and yields the start script path, or reports and yields
// an empty string.
std::string unpackAgent(const std::string& archive, const std::string& agentDirectory,
                        MessageReporter report) {
  bool unpacked = false;
  try {
    unpacked = unzipInstallAgent(archive, agentDirectory, "unzip", report);
  } catch (const std::exception&) {
    unpacked = false;
  }
  if (!unpacked) {
    report(initializationFailed, true);
    return "";
  }
  return agentStartScriptPath(agentDirectory);
}

// The per-user cache route; this build has no agent server to ask.
std::string agentFromCache(const std::string& /*extractionDirectory*/, MessageReporter report) {
  report(initializationFailed, true);
  return "";
}

}  // namespace

bool unzipInstallAgent(const std::string& archivePath, const std::string& targetDirectory,
                       const std::string& unzipTool, MessageReporter report) {
  struct stat status;
  if (stat(archivePath.c_str(), &status) != 0) return false;
  std::string command = quoteArgument(unzipTool) + " -qq -o " + quoteArgument(archivePath) +
                        " -d " + quoteArgument(targetDirectory);
  if (runShellCommand(command) == 0) return true;
  report("Failed to unzip the install agent", true);
  return false;
}

std::string initializeInstallAgent(const std::string& extractionDirectory, MessageReporter report) {
  std::string localArchive = findLocalAgentArchive(extractionDirectory);
  if (localArchive.empty()) return agentFromCache(extractionDirectory, report);
  return unpackAgent(localArchive, extractionDirectory, report);
}
