#include "agent/agent_cache_layout.h"

#include "launcher/build_constants.h"

std::string agentStartScriptPath(const std::string& directory) {
  std::string path = directory;
  if (!path.empty() && path.back() != pathSeparator.front()) path += pathSeparator;
  return path + std::string(agentStartScriptName);
}
