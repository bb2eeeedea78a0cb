// Replaces the agent in the cache so that agent, manifest and validator agree
// at every instant, whatever is killed when: the validator stops vouching
// before anything it vouches for changes and is written last; a manifest is
// in place before the agent it describes, so that no kill opens the way back
// to an older version; an agent is never deleted in place, but renamed aside
// in one step and deleted there; a new one is unpacked into a private
// directory beside the agent directory, flushed to disk, and renamed into
// place in one step. An agent directory that another run is using is never
// replaced: that run holds a shared lock on it while its agent runs.
#pragma once

#include <optional>
#include <string>

#include "agent/directory_lock.h"
#include "launcher/core/failure.h"
#include "launcher/core/interruption_cleanup.h"

// A private directory in the cache to unpack a fresh agent into,
// ".installagent-XXXXXX" (mode 0700), locked against other runs' sweeps and
// removed with everything in it when this ends, unless it became the agent
// directory.
class StagingDirectory {
 public:
  explicit StagingDirectory(const std::string& cacheDirectory);
  ~StagingDirectory();
  StagingDirectory(const StagingDirectory&) = delete;
  StagingDirectory& operator=(const StagingDirectory&) = delete;

  // Empty when no directory could be made.
  const std::string& path() const { return path_; }

  // Flushes everything in it to disk.
  void flush() const;

  // For a directory now renamed into place: no longer removed; its lock,
  // shared, is the caller's.
  DirectoryLock placed();

 private:
  std::string path_;
  DirectoryLock lock_;
  std::optional<RemovedOnInterruption> removal_;
};

// Removes what killed runs left in `cacheDirectory` (staging directories,
// agents set aside, temporary validator and manifest files), but no staging
// directory that a live run holds.
void removeUnfinishedAgents(const std::string& cacheDirectory);

// How a staged agent was put to use.
enum class Placement {
  inPlace,  // it is the cache's agent directory now, with its manifest and validator
  staged,   // the cache could not take it (another run uses the agent): run it from staging
  failed,   // its manifest could not be kept, and the cache is as it was
};

// The agent directory of a cache, for a run that holds the cache lock.
class AgentReplacement {
 public:
  explicit AgentReplacement(const std::string& cacheDirectory);

  // True when no other run uses the agent directory (or there is none), so
  // that it may be replaced. Asked once; the answer, and the lock that it
  // took, hold until this ends.
  bool replaceable();

  // Without a key, before the download: when replaceable, the validator is
  // removed and the stale agent renamed aside and deleted, so that nothing
  // vouches for what is left. Whatever of that fails makes the agent
  // directory no longer replaceable.
  void retireStaleAgent();

  // Puts the agent in `staging` in place when replaceable: a `manifest`
  // (empty without a key) is written and flushed first, then the validator
  // removed, the manifest put in place, the old agent renamed aside, the new
  // one renamed into place, the `validator` written (unless empty), and the
  // old agent deleted. When the manifest cannot be kept, `failure` says why.
  Placement install(StagingDirectory& staging, const std::string& manifest,
                    const std::string& validator, Failure* failure);

  // A shared lock on the agent directory as it is now, for a run about to
  // start the agent in it.
  DirectoryLock shareCurrent();

 private:
  struct SetAside;
  bool stopVouching();
  bool setAgentAside(SetAside* aside);
  static Placement manifestNotKept(int error, Failure* failure);

  std::string cacheDirectory_, agentDirectory_;
  DirectoryLock current_;
  std::optional<bool> replaceable_;
};
