// The one home of every name in the per-user agent cache: where the cache
// lies, what each of its files and directories is called, and how a cached
// agent and the leftovers of a killed run are recognised.
#pragma once

#include <string>
#include <string_view>

inline constexpr std::string_view agentStartScriptName = "install";
inline constexpr std::string_view cacheLockFileName = "installagent.lock";

// $HOME (or /tmp when HOME is empty or unset), a separator unless it ends in
// one or is a single character ("/", or "h" for "h.orvane/..."), and the
// cache's relative path; always ends in a separator. HOME is read on every
// call. A launcher with a built-in key keeps a cache of its own, whose last
// name also carries "-" and the key's agentKeyId(), so that no agent another
// launcher cached is run as if this key had vouched for it.
std::string agentCacheDirectory();

// In a cache directory as agentCacheDirectory() gives it: the agent
// directory "installagent", and `name` (the lock, the manifest, the
// validator as the trust check shows it).
std::string agentDirectoryPath(const std::string& cacheDirectory);
std::string cacheFilePath(const std::string& cacheDirectory, std::string_view name);

// The validator file as its readers and writers name it: `directory`, "/"
// even after one, and ".validatestring".
std::string validatorFilePath(const std::string& directory);

// The pattern (for mkdtemp) of a private directory in the cache, where an
// agent is unpacked or an old one set aside before it goes.
std::string privateDirectoryPattern(const std::string& cacheDirectory);

// The pattern (for mkstemp) of the temporary file that a new `path` is
// written under before it takes the old one's place.
std::string temporaryFilePattern(const std::string& path);

// Whether `name` in the cache is what a killed run left: a private
// directory, or a temporary validator or manifest.
bool isLeftover(std::string_view name);

// The agent directory of `cacheDirectory` with a trailing separator when its
// start script exists (symbolic links followed); empty otherwise.
std::string cachedAgentDirectory(const std::string& cacheDirectory);

// `directory`, a separator unless it is empty or ends in one, and "install".
std::string agentStartScriptPath(const std::string& directory);
