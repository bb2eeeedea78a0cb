// Directory trees for the agent cache, and the small files beside the agent
// that record which archive it came from: the validator and the manifest.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "payload/interruption_cleanup.h"

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

// A new content for `directory`/`name` that takes the old one's place in one
// step, so that a crash leaves one or the other, never a part: written and
// flushed under a temporary name (the name and temporarySuffix) first, then
// renamed over the old file, and the rename flushed. A link planted at the
// name is replaced, never followed. Until it is in place the temporary file
// goes on every way out, an interrupting signal included.
class PendingCacheFile {
 public:
  PendingCacheFile(const std::string& directory, std::string_view name);
  ~PendingCacheFile();
  PendingCacheFile(const PendingCacheFile&) = delete;
  PendingCacheFile& operator=(const PendingCacheFile&) = delete;

  // Makes the temporary file with exactly `value` and flushes it; false,
  // with errno set and nothing left, when that fails.
  bool write(std::string_view value);
  // Renames it over the old file and flushes the directory; false, with
  // errno set and nothing left, when the rename fails.
  bool putInPlace();

 private:
  std::string directory_, target_, temporary_;
  std::optional<RemovedOnInterruption> removal_;
};

// PendingCacheFile of `value`, put in place at once. Does nothing when
// `directory` or `value` is empty; failures are ignored.
void writeCacheFile(const std::string& directory, std::string_view name, const std::string& value);

// Flushes the entries of `directory` (a rename or removal in it) to disk.
void syncDirectory(const std::string& directory);

// writeCacheFile() of .validatestring.
void writeValidatorFile(const std::string& directory, const std::string& value);

// Up to `limit` bytes of `directory`/`name`, never read through a link in
// its place; empty when it cannot be read or is longer than `limit`.
std::string readCacheFile(const std::string& directory, std::string_view name, size_t limit);

// True when the first line of `directory`/.validatestring (the bytes before
// the first line feed) equals `value`, which must not be empty.
bool validatorFileMatches(const std::string& directory, const std::string& value);
