// Directory trees for the agent cache, and the small files beside the agent
// that record which archive it came from: the validator and the manifest.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

// 0 unless something other than a directory stands at `path` (-1, errno
// ENOTDIR). A missing directory is created with `mode` (less the umask); a
// failure to create it is not reported.
int ensureDirectory(const char* path, mode_t mode);

// ensureDirectory() on every prefix of `path` that ends before a separator,
// then on `path` itself; stops at the first non-directory (-1, ENOTDIR).
int makeDirectoryTree(const std::string& path, mode_t mode);

// `directory`, a separator (even after one) and ".validatestring".
std::string validatorFilePath(const std::string& directory);

// mkstemp's pattern after a file name: the validator is written under it first.
inline constexpr std::string_view temporarySuffix = ".XXXXXX";

// Replaces `directory`/`name` with exactly the bytes of `value`, in one rename
// of a file written and flushed beforehand. Does nothing when `directory` or
// `value` is empty; failures are ignored.
void writeCacheFile(const std::string& directory, std::string_view name, const std::string& value);

// writeCacheFile() of .validatestring.
void writeValidatorFile(const std::string& directory, const std::string& value);

// Up to `limit` bytes of `directory`/`name`, never read through a link in
// its place; empty when it cannot be read or is longer than `limit`.
std::string readCacheFile(const std::string& directory, std::string_view name, size_t limit);

// True when the first line of `directory`/.validatestring (the bytes before
// the first line feed) equals `value`, which must not be empty.
bool validatorFileMatches(const std::string& directory, const std::string& value);
