#include "agent/cache_safety.h"

#include <sys/stat.h>

#include "agent/agent_cache_layout.h"
#include "agent/agent_signature.h"
#include "agent/trusted_path.h"
#include "launcher/core/build_constants.h"

namespace {

// A file the launcher writes must not lead elsewhere: no link in its place,
// no second name that another user could have given it.
bool isPrivateFileOrMissing(const std::string& path) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) return true;
  return S_ISREG(status.st_mode) && status.st_nlink == 1 && ownedByUserOrRoot(status.st_uid);
}

// The first path in the cache that cannot be trusted, or an empty string.
std::string firstUnsafePath(const std::string& cacheDirectory) {
  std::string offender;
  if (!pathIsTrusted(agentDirectoryPath(cacheDirectory), &offender)) return offender;
  for (std::string_view file : {validatorFileName, cacheLockFileName, manifestFileName}) {
    // Only a launcher with a key keeps a manifest, and only such a one reads it.
    if (file == manifestFileName && !agentSignatureRequired()) continue;
    std::string path = cacheFilePath(cacheDirectory, file);
    if (!isPrivateFileOrMissing(path)) return path;
  }
  return "";
}

}  // namespace

Failure checkCacheIsSafe(const std::string& cacheDirectory) {
  std::string offender = firstUnsafePath(cacheDirectory);
  if (offender.empty()) return {};
  return Failure("Internal Error: The install agent cache is not safe to use - " + offender +
                 " belongs to another user or can be written by others.");
}
