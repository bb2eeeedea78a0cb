// Provides a ready install agent: from an archive shipped beside the bundle,
// or from the per-user agent cache.
#pragma once

#include <memory>
#include <string>

#include "agent/agent_replacement.h"
#include "agent/directory_lock.h"
#include "launcher/message_reporter.h"

// An install agent ready to start. While it lives, no other run changes the
// directory it is in: the cache's agent directory is held with a shared
// lock, and an agent that could not be put in the cache (another run was
// using the cached one) runs from a private directory of this run's, which
// goes when this ends.
struct ReadyAgent {
  std::string startScript{};  // empty after a failure that has been reported
  DirectoryLock lock{};
  std::unique_ptr<StagingDirectory> privateDirectory{};
};

// The agent's start script and what keeps it as it is.
ReadyAgent initializeInstallAgent(const std::string& extractionDirectory, MessageReporter report);

// Unpacks `archivePath` into `targetDirectory` with the tool `unzipTool`,
// overwriting existing files. False when the archive does not exist (nothing
// run, nothing reported) or the tool did not exit with status 0 (reported).
bool unzipInstallAgent(const std::string& archivePath, const std::string& targetDirectory,
                       const std::string& unzipTool, MessageReporter report);
