// Where an unpacked install agent keeps its start script.
#pragma once

#include <string>

inline constexpr std::string_view agentStartScriptName = "install";

// `directory`, a separator unless it is empty or ends in one, and "install".
std::string agentStartScriptPath(const std::string& directory);
