#include "agent/agent_cache.h"

#include <sys/stat.h>

#include <exception>

#include "agent/agent_cache_layout.h"
#include "agent/agent_download.h"
#include "agent/agent_replacement.h"
#include "agent/cache_lock.h"
#include "agent/cache_safety.h"
#include "agent/file_system_utilities.h"
#include "agent/local_agent_archive.h"
#include "launcher/build_constants.h"
#include "launcher/shell_command.h"
#include "launcher/status_line.h"
#include "payload/interruption_cleanup.h"
#include "payload/scratch_directory.h"
#include "payload/unzip_command.h"
#include "launcher/path_join.h"

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

// Unpacks the downloaded `archive` into a private directory and puts it in
// place of `agentDirectory`; only then do the manifest and the validator in
// `fresh` vouch for it, the validator last.
std::string installFreshAgent(const std::string& archive, const std::string& cacheDirectory,
                              const std::string& agentDirectory, const FreshAgent& fresh,
                              MessageReporter report) {
  std::string staging = makeAgentStagingDirectory(cacheDirectory);
  if (staging.empty()) {
    report(initializationFailed, true);
    return "";
  }
  RemovedOnInterruption unfinished(staging);
  showStatus("Unpacking the install agent…");
  if (unpackAgent(archive, staging, report).empty()) {
    removePathIfExists(staging);
    return "";
  }
  if (!moveAgentIntoPlace(staging, agentDirectory)) {
    removePathIfExists(staging);
    report(initializationFailed, true);
    return "";
  }
  writeCacheFile(cacheDirectory, manifestFileName, fresh.manifest);
  writeValidatorFile(cacheDirectory, fresh.validator);
  return agentStartScriptPath(agentDirectory);
}

// The per-user cache: asks the agent server whether the cached agent is
// current and puts a freshly downloaded one in place.
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
  CacheLock lock(cacheDirectory);  // until the agent is current or in place
  removeUnfinishedAgents(cacheDirectory);
  std::string archive = joinAlways(extractionDirectory, agentArchiveName);
  FreshAgent fresh;
  showStatus("Checking the install agent…");
  if (!downloadInstallAgent(cacheDirectory, archive, &fresh, report)) return "";
  std::string cached = cachedAgentDirectory(cacheDirectory);
  if (!fresh.downloaded && !cached.empty()) return agentStartScriptPath(cached);
  return installFreshAgent(archive, cacheDirectory, agentDirectory, fresh, report);
}

}  // namespace

bool unzipInstallAgent(const std::string& archivePath, const std::string& targetDirectory,
                       const std::string& unzipTool, MessageReporter report) {
  struct stat status;
  if (stat(archivePath.c_str(), &status) != 0) return false;
  if (runShellCommand(unzipCommandLine(unzipTool, "-qq -o", archivePath, targetDirectory)) == 0)
    return true;
  report("Failed to unzip the install agent", true);
  return false;
}

std::string initializeInstallAgent(const std::string& extractionDirectory, MessageReporter report) {
  std::string localArchive = findLocalAgentArchive(extractionDirectory);
  if (localArchive.empty()) return agentFromCache(extractionDirectory, report);
  return unpackAgent(localArchive, extractionDirectory, report);
}
