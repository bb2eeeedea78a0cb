#include "agent/agent_cache_layout.h"

#include <sys/stat.h>

#include <cstdlib>

#include "agent/agent_signature.h"
#include "launcher/core/build_constants.h"
#include "launcher/core/paths.h"

namespace {

constexpr std::string_view privatePrefix = ".installagent-";
constexpr std::string_view uniquePattern = "XXXXXX";  // mkdtemp's and mkstemp's

// agentCacheRelativePath, its last name followed by the key's identity when
// the launcher carries a key.
std::string cacheRelativePath() {
  std::string path(agentCacheRelativePath);
  if (!agentSignatureRequired()) return path;
  path.pop_back();
  return path + "-" + agentKeyId() + std::string(pathSeparator);
}

// `name` is `prefix` followed by what mkdtemp or mkstemp put in place of the
// pattern.
bool madeFrom(std::string_view name, std::string_view prefix) {
  return name.size() == prefix.size() + uniquePattern.size() && name.starts_with(prefix);
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

std::string agentDirectoryPath(const std::string& cacheDirectory) {
  return joinOnce(cacheDirectory, agentDirectoryName);
}

std::string cacheFilePath(const std::string& cacheDirectory, std::string_view name) {
  return joinOnce(cacheDirectory, name);
}

std::string validatorFilePath(const std::string& directory) {
  return joinAlways(directory, validatorFileName);
}

std::string privateDirectoryPattern(const std::string& cacheDirectory) {
  return joinOnce(cacheDirectory, privatePrefix).append(uniquePattern);
}

std::string temporaryFilePattern(const std::string& path) {
  return path + "." + std::string(uniquePattern);
}

bool isLeftover(std::string_view name) {
  return madeFrom(name, privatePrefix) || madeFrom(name, std::string(validatorFileName) + ".") ||
         madeFrom(name, std::string(manifestFileName) + ".");
}

std::string cachedAgentDirectory(const std::string& cacheDirectory) {
  std::string directory = agentDirectoryPath(cacheDirectory) + "/";
  struct stat status;
  if (stat(agentStartScriptPath(directory).c_str(), &status) != 0) return "";
  return directory;
}

std::string agentStartScriptPath(const std::string& directory) {
  return joinOnce(directory, agentStartScriptName, true);
}
