#include "agent/agent_cache.h"

#include <sys/stat.h>

#include "agent/agent_cache_layout.h"
#include "agent/agent_download.h"
#include "agent/agent_replacement.h"
#include "agent/cache_lock.h"
#include "agent/cache_safety.h"
#include "agent/file_system_utilities.h"
#include "agent/local_agent_archive.h"
#include "launcher/core/build_constants.h"
#include "launcher/core/paths.h"
#include "launcher/core/shell_command.h"
#include "launcher/core/status_line.h"
#include "launcher/core/tool_commands.h"

namespace {

Failure notInitialized() { return Failure(std::string(agentFailedMessage)); }

// Unpacks `archive` into `agentDirectory`, overwriting existing files: the
// archive must exist, and unzip must exit with status 0.
Failure unpackAgent(const std::string& archive, const std::string& agentDirectory) {
  struct stat status;
  if (stat(archive.c_str(), &status) != 0) return notInitialized();
  ToolOutcome outcome = runShellCommand(unzipCommandLine("-qq -o", archive, agentDirectory));
  if (outcome.rawStatus == 0) return {};
  Failure failure;
  if (!outcome.complaint.empty()) failure = Failure(outcome.complaint);
  return std::move(failure)
      .then("Failed to unzip the install agent")
      .then(std::string(agentFailedMessage));
}

// Unpacks the downloaded `archive` into a private directory and puts it in
// place of the cached agent with the manifest and the validator in `fresh`;
// or, when another run is using the cached agent, runs it from there.
Failure installFreshAgent(const std::string& archive, const std::string& cacheDirectory,
                          AgentReplacement* replacement, const FreshAgent& fresh,
                          ReadyAgent* agent) {
  auto staging = std::make_unique<StagingDirectory>(cacheDirectory);
  if (staging->path().empty()) return notInitialized();
  showStatus("Unpacking the install agent…");
  if (Failure failure = unpackAgent(archive, staging->path())) return failure;
  Failure failure;
  switch (replacement->install(*staging, fresh.manifest, fresh.validator, &failure)) {
    case Placement::inPlace:
      *agent = {agentStartScriptPath(agentDirectoryPath(cacheDirectory)),
                replacement->shareCurrent()};
      return {};
    case Placement::staged:
      agent->startScript = agentStartScriptPath(staging->path());
      agent->privateDirectory = std::move(staging);
      return {};
    case Placement::failed:
      break;
  }
  return std::move(failure).then(std::string(agentFailedMessage));
}

// The per-user cache: asks the agent server whether the cached agent is
// current and puts a freshly downloaded one in place.
Failure agentFromCache(const std::string& extractionDirectory, ReadyAgent* agent) {
  std::string cacheDirectory = agentCacheDirectory();
  // What exists is checked before anything is made through it, and the whole
  // path again once it exists.
  if (Failure failure = checkCacheIsSafe(cacheDirectory))
    return std::move(failure).then(std::string(agentFailedMessage));
  makeDirectoryTree(agentDirectoryPath(cacheDirectory), 0700);
  if (Failure failure = checkCacheIsSafe(cacheDirectory))
    return std::move(failure).then(std::string(agentFailedMessage));
  CacheLock lock(cacheDirectory);  // until the agent is current or in place, and held for this run
  removeUnfinishedAgents(cacheDirectory);
  AgentReplacement replacement(cacheDirectory);
  std::string archive = joinAlways(extractionDirectory, agentArchiveName);
  FreshAgent fresh;
  showStatus("Checking the install agent…");
  if (Failure failure = downloadInstallAgent(
          cacheDirectory, archive, [&] { replacement.retireStaleAgent(); }, &fresh))
    return failure;
  std::string cached = cachedAgentDirectory(cacheDirectory);
  if (!fresh.downloaded && !cached.empty()) {
    *agent = {agentStartScriptPath(cached), replacement.shareCurrent()};
    return {};
  }
  return installFreshAgent(archive, cacheDirectory, &replacement, fresh, agent);
}

}  // namespace

Failure initializeInstallAgent(const std::string& extractionDirectory, ReadyAgent* agent) {
  std::string localArchive = findLocalAgentArchive(extractionDirectory);
  if (localArchive.empty()) return agentFromCache(extractionDirectory, agent);
  if (Failure failure = unpackAgent(localArchive, extractionDirectory)) return failure;
  agent->startScript = agentStartScriptPath(extractionDirectory);
  return {};
}
