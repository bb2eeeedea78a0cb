// Provides a ready install agent: from an archive shipped beside the bundle,
// or from the per-user agent cache.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "agent/agent_replacement.h"
#include "agent/directory_lock.h"
#include "launcher/core/failure.h"

// The line that ends every failure to provide the agent.
inline constexpr std::string_view agentFailedMessage = "Failed to initialize the install agent.";

// An install agent ready to start. While it lives, no other run changes the
// directory it is in: the cache's agent directory is held with a shared
// lock, and an agent that could not be put in the cache (another run was
// using the cached one) runs from a private directory of this run's, which
// goes when this ends.
struct ReadyAgent {
  std::string startScript{};
  DirectoryLock lock{};
  std::unique_ptr<StagingDirectory> privateDirectory{};
};

// Provides the agent that lies in or was unpacked to `agent`. A failure
// ends in agentFailedMessage, after the lines that say why (those of the
// download alone when it failed).
Failure initializeInstallAgent(const std::string& extractionDirectory, ReadyAgent* agent);
