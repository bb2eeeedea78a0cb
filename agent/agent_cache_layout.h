// Where the per-user agent cache lies and how a cached agent is recognised.
#pragma once

#include <string>
#include <string_view>

inline constexpr std::string_view agentStartScriptName = "install";

// $HOME (or /tmp when HOME is empty or unset), a separator unless it ends in
// one or is a single character ("/", or "h" for "h.orvane/..."), and the
// cache's relative path; always ends in a separator. HOME is read on every
// call. A launcher with a built-in key keeps a cache of its own, whose last
// name also carries "-" and the key's agentKeyId(), so that no agent another
// launcher cached is run as if this key had vouched for it.
std::string agentCacheDirectory();

// The agent directory of `cacheDirectory` (as agentCacheDirectory() gives it)
// with a trailing separator when its start script exists (symbolic links
// followed); empty otherwise.
std::string cachedAgentDirectory(const std::string& cacheDirectory);

// `directory`, a separator unless it is empty or ends in one, and "install".
std::string agentStartScriptPath(const std::string& directory);
