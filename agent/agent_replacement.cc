#include "agent/agent_replacement.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string_view>

#include "launcher/build_constants.h"
#include "payload/scratch_directory.h"

namespace {

constexpr std::string_view stagingPrefix = ".installagent-";
constexpr size_t uniqueCharacters = 6;  // mkdtemp's and mkstemp's

// Left by a run killed while it unpacked an agent or wrote the validator or
// the manifest.
bool isUnfinished(std::string_view name) {
  std::string validatorTemporary = std::string(validatorFileName) + ".";
  std::string manifestTemporary = std::string(manifestFileName) + ".";
  for (std::string_view prefix :
       {stagingPrefix, std::string_view(validatorTemporary), std::string_view(manifestTemporary)}) {
    if (name.size() == prefix.size() + uniqueCharacters && name.substr(0, prefix.size()) == prefix)
      return true;
  }
  return false;
}
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

std::string parentOf(const std::string& path) {
  size_t separator = path.find_last_of('/');
  if (separator == std::string::npos) return ".";
  return separator == 0 ? "/" : path.substr(0, separator);
}

}  // namespace

std::string makeAgentStagingDirectory(const std::string& cacheDirectory) {
  std::string path = cacheDirectory;
  path.append(stagingPrefix).append("XXXXXX");
  return mkdtemp(path.data()) != nullptr ? path : "";
}

void removeUnfinishedAgents(const std::string& cacheDirectory) {
  std::unique_ptr<DIR, DirectoryCloser> directory(opendir(cacheDirectory.c_str()));
  if (!directory) return;
  while (const dirent* entry = readdir(directory.get())) {
    if (isUnfinished(entry->d_name)) removePathIfExists(cacheDirectory + entry->d_name);
  }
}

bool moveAgentIntoPlace(const std::string& staging, const std::string& agentDirectory) {
  // Depth first, so that each directory is flushed after what it holds.
  nftw(staging.c_str(), syncEntry, openFileLimit, FTW_PHYS | FTW_DEPTH);
  removePathIfExists(agentDirectory);
  if (std::rename(staging.c_str(), agentDirectory.c_str()) != 0) return false;
  syncPath(parentOf(agentDirectory).c_str(), O_DIRECTORY);
  return true;
}
