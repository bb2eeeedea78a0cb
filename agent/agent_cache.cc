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
// place of the cached agent with the manifest and the validator in `fresh`;
// or, when another run is using the cached agent, runs it from there.
ReadyAgent installFreshAgent(const std::string& archive, const std::string& cacheDirectory,
                             AgentReplacement* replacement, const FreshAgent& fresh,
                             MessageReporter report) {
  auto staging = std::make_unique<StagingDirectory>(cacheDirectory);
  if (staging->path().empty()) {
    report(initializationFailed, true);
    return {};
  }
  showStatus("Unpacking the install agent…");
  if (unpackAgent(archive, staging->path(), report).empty()) return {};
  switch (replacement->install(*staging, fresh.manifest, fresh.validator, report)) {
    case Placement::inPlace:
      return {agentStartScriptPath(joinOnce(cacheDirectory, agentDirectoryName)),
              replacement->shareCurrent()};
    case Placement::staged: {
      std::string startScript = agentStartScriptPath(staging->path());
      return {startScript, DirectoryLock(), std::move(staging)};
    }
    case Placement::failed:
      break;
  }
  report(initializationFailed, true);
  return {};
}

// The per-user cache: asks the agent server whether the cached agent is
// current and puts a freshly downloaded one in place.
ReadyAgent agentFromCache(const std::string& extractionDirectory, MessageReporter report) {
  std::string cacheDirectory = agentCacheDirectory();
  std::string agentDirectory = joinOnce(cacheDirectory, agentDirectoryName);
  // What exists is checked before anything is made through it, and the whole
  // path again once it exists.
  bool safe = agentCacheIsSafe(cacheDirectory, report);
  if (safe) makeDirectoryTree(agentDirectory, 0700);
  if (!safe || !agentCacheIsSafe(cacheDirectory, report)) {
    report(initializationFailed, true);
    return {};
  }
  CacheLock lock(cacheDirectory);  // until the agent is current or in place, and held for this run
  removeUnfinishedAgents(cacheDirectory);
  AgentReplacement replacement(cacheDirectory);
  std::string archive = joinAlways(extractionDirectory, agentArchiveName);
  FreshAgent fresh;
  showStatus("Checking the install agent…");
  if (!downloadInstallAgent(cacheDirectory, archive, [&] { replacement.retireStaleAgent(); },
                            &fresh, report))
    return {};
  std::string cached = cachedAgentDirectory(cacheDirectory);
  if (!fresh.downloaded && !cached.empty())
    return {agentStartScriptPath(cached), replacement.shareCurrent()};
  return installFreshAgent(archive, cacheDirectory, &replacement, fresh, report);
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

ReadyAgent initializeInstallAgent(const std::string& extractionDirectory, MessageReporter report) {
  std::string localArchive = findLocalAgentArchive(extractionDirectory);
  if (localArchive.empty()) return agentFromCache(extractionDirectory, report);
  return {unpackAgent(localArchive, extractionDirectory, report)};
}
