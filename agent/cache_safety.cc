#include "agent/cache_safety.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "agent/agent_cache_layout.h"
#include "launcher/build_constants.h"

namespace {

bool trustedOwner(uid_t owner) { return owner == geteuid() || owner == 0; }

// A path that does not exist holds nothing to trust. A symbolic link must be
// ours as well as what it points to; group-writable is fine (private groups).
bool isSafe(const std::string& path) {
  struct stat link, target;
  if (lstat(path.c_str(), &link) != 0) return true;
  if (!trustedOwner(link.st_uid)) return false;
  if (stat(path.c_str(), &target) != 0) return true;
  return trustedOwner(target.st_uid) && (target.st_mode & S_IWOTH) == 0;
}

// The directories the cache layout adds below its root, outermost first.
std::vector<std::string> cacheDirectories() {
  std::string cacheDirectory = agentCacheDirectory();
  std::vector<std::string> directories;
  size_t end = cacheDirectory.size() - agentCacheRelativePath.size();
  while ((end = cacheDirectory.find(pathSeparator, end + 1)) != std::string::npos)
    directories.push_back(cacheDirectory.substr(0, end));
  directories.push_back(cacheDirectory + std::string(agentDirectoryName));
  return directories;
}

}  // namespace

bool agentCacheIsSafe(MessageReporter report) {
  for (const std::string& directory : cacheDirectories()) {
    if (isSafe(directory)) continue;
    report("Internal Error: The install agent cache is not safe to use - " + directory +
               " belongs to another user or can be written by others.",
           true);
    return false;
  }
  return true;
}
