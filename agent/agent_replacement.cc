#include "agent/agent_replacement.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "agent/agent_cache_layout.h"
#include "agent/file_system_utilities.h"
#include "launcher/builtin/tree_removal.h"
#include "launcher/core/build_constants.h"
#include "launcher/core/paths.h"
#include "launcher/core/tool_commands.h"

namespace {

constexpr int openFileLimit = 16;

struct DirectoryCloser {
  void operator()(DIR* directory) const { closedir(directory); }
};

void syncPath(const char* path, int flags) {
  int fd = open(path, flags | O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

int syncEntry(const char* path, const struct stat*, int type, FTW*) {
  if (type == FTW_F) syncPath(path, 0);
  if (type == FTW_DP) syncPath(path, O_DIRECTORY);
  return 0;
}

// A new directory ".installagent-XXXXXX" in `cacheDirectory`, registered for
// removal on interruption in the same step; empty when none can be made.
std::string makePrivateDirectory(const std::string& cacheDirectory,
                                 std::optional<RemovedOnInterruption>* removal) {
  std::string path = privateDirectoryPattern(cacheDirectory);
  InterruptionsHeld held;
  if (mkdtemp(path.data()) == nullptr) return "";
  removal->emplace(path);
  return path;
}

}  // namespace

StagingDirectory::StagingDirectory(const std::string& cacheDirectory) {
  path_ = makePrivateDirectory(cacheDirectory, &removal_);
  if (path_.empty()) return;
  lock_ = DirectoryLock(path_);
  lock_.tryExclusive();  // made a moment ago under the cache lock: no one else has it
}

StagingDirectory::~StagingDirectory() {
  if (removal_) removeTree(path_.c_str());  // allocates nothing, whatever ran out
}

void StagingDirectory::flush() const {
  // Depth first, so that each directory is flushed after what it holds.
  nftw(path_.c_str(), syncEntry, openFileLimit, FTW_PHYS | FTW_DEPTH);
}

DirectoryLock StagingDirectory::placed() {
  removal_.reset();
  lock_.share();
  return std::move(lock_);
}

void removeUnfinishedAgents(const std::string& cacheDirectory) {
  std::unique_ptr<DIR, DirectoryCloser> directory(opendir(cacheDirectory.c_str()));
  if (!directory) return;
  while (const dirent* entry = readdir(directory.get())) {
    if (!isLeftover(entry->d_name)) continue;
    std::string path = cacheFilePath(cacheDirectory, entry->d_name);
    // A live run keeps its staging directory locked until it is done with it.
    DirectoryLock lock(path);
    if (lock.isOpen() && !lock.tryExclusive()) continue;
    removePathIfExists(path);
  }
}

AgentReplacement::AgentReplacement(const std::string& cacheDirectory)
    : cacheDirectory_(cacheDirectory), agentDirectory_(agentDirectoryPath(cacheDirectory)) {}

bool AgentReplacement::replaceable() {
  if (!replaceable_) {
    current_ = DirectoryLock(agentDirectory_);
    replaceable_ = current_.isOpen() ? current_.tryExclusive() : current_.openError() == ENOENT;
  }
  return *replaceable_;
}

// The validator goes first, and for good: from here on the agent directory
// may change, and nothing vouches for it until the new validator is written.
bool AgentReplacement::stopVouching() {
  if (unlink(validatorFilePath(cacheDirectory_).c_str()) != 0 && errno != ENOENT) return false;
  syncDirectory(cacheDirectory_);
  return true;
}

// An old agent directory renamed aside, deleted when this ends.
struct AgentReplacement::SetAside {
  std::string path;
  std::optional<RemovedOnInterruption> removal;
  ~SetAside() {
    if (!path.empty()) removeTree(path.c_str());
  }
};

// Renames the agent directory aside in one step, to a name that the sweep
// removes should this run be killed. True when no agent directory is left.
bool AgentReplacement::setAgentAside(SetAside* aside) {
  struct stat status;
  if (lstat(agentDirectory_.c_str(), &status) != 0) return errno == ENOENT;
  std::string path = makePrivateDirectory(cacheDirectory_, &aside->removal);
  if (path.empty()) return false;
  if (std::rename(agentDirectory_.c_str(), path.c_str()) != 0) {
    rmdir(path.c_str());
    return false;
  }
  aside->path = std::move(path);
  syncDirectory(cacheDirectory_);
  return true;
}

void AgentReplacement::retireStaleAgent() {
  SetAside aside;
  if (replaceable() && !(stopVouching() && setAgentAside(&aside))) replaceable_ = false;
}

Placement AgentReplacement::install(StagingDirectory& staging, const std::string& manifest,
                                    const std::string& validator, Failure* failure) {
  if (!replaceable()) return Placement::staged;
  staging.flush();
  PendingCacheFile manifestFile(cacheFilePath(cacheDirectory_, manifestFileName));
  bool withManifest = !manifest.empty();
  if (int error = withManifest ? manifestFile.write(manifest) : 0)
    return manifestNotKept(error, failure);
  if (!stopVouching()) return Placement::staged;
  if (int error = withManifest ? manifestFile.putInPlace() : 0)
    return manifestNotKept(error, failure);
  SetAside aside;  // the old agent, deleted last
  if (!setAgentAside(&aside)) return Placement::staged;
  if (std::rename(staging.path().c_str(), agentDirectory_.c_str()) != 0) return Placement::staged;
  syncDirectory(cacheDirectory_);
  current_ = staging.placed();
  writeValidatorFile(cacheDirectory_, validator);
  return Placement::inPlace;
}

Placement AgentReplacement::manifestNotKept(int error, Failure* failure) {
  *failure = Failure("Internal Error: Failed to keep the install agent's manifest - " +
                     std::string(std::strerror(error)) + ".");
  return Placement::failed;
}

DirectoryLock AgentReplacement::shareCurrent() {
  if (!current_.isOpen()) current_ = DirectoryLock(agentDirectory_);
  current_.share();
  return std::move(current_);
}
