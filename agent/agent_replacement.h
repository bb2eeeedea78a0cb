// Puts a freshly unpacked agent in place so that a crash or power cut at any
// moment leaves either the previous complete agent or a state that the next
// run refreshes: the agent is unpacked into a private directory beside the
// agent directory, flushed to disk, and renamed into place in one step; the
// validator that vouches for it is written only after that.
#pragma once

#include <string>

// A new private directory (mode 0700) in `cacheDirectory` to unpack into,
// named ".installagent-XXXXXX"; empty when none can be made.
std::string makeAgentStagingDirectory(const std::string& cacheDirectory);

// Removes what runs that were killed while unpacking left in `cacheDirectory`.
void removeUnfinishedAgents(const std::string& cacheDirectory);

// Flushes everything under `staging` to disk, then replaces `agentDirectory`
// with it and flushes the cache directory that holds both. False when the
// rename failed (`staging` is left for the caller to remove).
bool moveAgentIntoPlace(const std::string& staging, const std::string& agentDirectory);
