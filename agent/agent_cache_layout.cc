#include "agent/agent_cache_layout.h"

#include <sys/stat.h>

#include <cstdlib>

#include "agent/agent_signature.h"
#include "launcher/build_constants.h"
#include "launcher/path_join.h"

namespace {

// agentCacheRelativePath, its last name followed by the key's identity when
// the launcher carries a key.
std::string cacheRelativePath() {
  std::string path(agentCacheRelativePath);
  if (!agentSignatureRequired()) return path;
  path.pop_back();
  return path + "-" + agentKeyId() + std::string(pathSeparator);
}

}  // namespace

std::string agentCacheDirectory() {
  const char* home = std::getenv(homeVariable);
  std::string root = home != nullptr && *home != '\0' ? home : "/tmp";
  // A root of one character gets nothing appended: "/" gives "/.orvane/...",
  // and "h" gives "h.orvane/...", where such a cache has always been.
  if (root.size() == 1) return root + cacheRelativePath();
  return joinOnce(root, cacheRelativePath());
}

std::string cachedAgentDirectory(const std::string& cacheDirectory) {
  std::string directory = joinOnce(cacheDirectory, agentDirectoryName) + "/";
  struct stat status;
  if (stat(agentStartScriptPath(directory).c_str(), &status) != 0) return "";
  return directory;
}

std::string agentStartScriptPath(const std::string& directory) {
  return joinOnce(directory, agentStartScriptName, true);
}
