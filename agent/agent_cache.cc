#include "agent/agent_cache.h"

#include <sys/stat.h>

#include <exception>

#include "agent/agent_cache_layout.h"
#include "agent/agent_download.h"
#include "agent/cache_lock.h"
#include "agent/cache_safety.h"
#include "agent/file_system_utilities.h"
#include "agent/local_agent_archive.h"
#include "launcher/build_constants.h"
#include "payload/interruption_cleanup.h"
#include "payload/scratch_directory.h"
#include "payload/unzip_command.h"

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
    // reported below, like any other unpacking that did not succeed
  }
  if (!unpacked) {
    report(initializationFailed, true);
    return "";
  }
  return agentStartScriptPath(agentDirectory);
}

// The per-user cache: asks the agent server whether the cached agent is
// current and unpacks a freshly downloaded one into the cache.
std::string agentFromCache(const std::string& extractionDirectory, MessageReporter report) {
  std::string cacheDirectory = agentCacheDirectory();
  std::string agentDirectory = cacheDirectory + std::string(agentDirectoryName);
  // What exists is checked before anything is made through it, and the whole
  // path again once it exists.
  bool safe = agentCacheIsSafe(cacheDirectory, report);
  if (safe) makeDirectoryTree(agentDirectory, 0700);
  if (!safe || !agentCacheIsSafe(cacheDirectory, report)) {
    report(initializationFailed, true);
    return "";
  }
  CacheLock lock(cacheDirectory);  // until the agent is current or unpacked
  std::string archive =
      extractionDirectory + std::string(pathSeparator) + std::string(agentArchiveName);
  if (!downloadInstallAgent(archive, report)) return "";
  std::string cached = cachedAgentDirectory();
  if (!cached.empty()) return agentStartScriptPath(cached);

  makeDirectoryTree(agentDirectory, 0700);  // unzip would make it with the umask alone
  // Cut short, the unpacking leaves an agent that the stored validator must
  // not vouch for.
  AlsoRemovedOnInterruption unverified(validatorFilePath(cacheDirectory));
  std::string startScript = unpackAgent(archive, agentDirectory, report);
  // A half-unpacked agent must not pass for a current one in later runs.
  if (startScript.empty()) removePathIfExists(agentDirectory);
  return startScript;
}

}  // namespace

bool unzipInstallAgent(const std::string& archivePath, const std::string& targetDirectory,
                       const std::string& unzipTool, MessageReporter report) {
  struct stat status;
  if (stat(archivePath.c_str(), &status) != 0) return false;
  if (runUnzip(unzipCommandLine(unzipTool, "-qq -o", archivePath, targetDirectory)) == 0)
    return true;
  report("Failed to unzip the install agent", true);
  return false;
}

std::string initializeInstallAgent(const std::string& extractionDirectory, MessageReporter report) {
  std::string localArchive = findLocalAgentArchive(extractionDirectory);
  if (localArchive.empty()) return agentFromCache(extractionDirectory, report);
  return unpackAgent(localArchive, extractionDirectory, report);
}
