#include "agent/agent_cache_layout.h"

#include <sys/stat.h>

#include <cstdlib>

#include "launcher/build_constants.h"

std::string agentCacheDirectory() {
  const char* home = std::getenv(homeVariable);
  std::string root = home != nullptr && *home != '\0' ? home : "/tmp";
  if (root.size() > 1 && root.back() != pathSeparator.front()) root += pathSeparator;
  return root + std::string(agentCacheRelativePath);
}

std::string cachedAgentDirectory(const std::string& cacheDirectory) {
  std::string directory =
      cacheDirectory + std::string(agentDirectoryName) + std::string(pathSeparator);
  struct stat status;
  if (stat(agentStartScriptPath(directory).c_str(), &status) != 0) return "";
  return directory;
}

std::string agentStartScriptPath(const std::string& directory) {
  std::string path = directory;
  if (!path.empty() && path.back() != pathSeparator.front()) path += pathSeparator;
  return path + std::string(agentStartScriptName);
}
