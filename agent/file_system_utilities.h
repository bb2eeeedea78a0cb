// Directory trees for the agent cache, and the small files beside the agent
// that record which archive it came from: the validator and the manifest.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "launcher/core/pending_file.h"

// ensureDirectory() (made with `mode` less the umask when missing; a
// failure to make it is not reported, and -1 with errno ENOTDIR when
// something other than a directory stands there) on every prefix of `path`
// that ends before a separator, then on `path` itself; stops at the first
// non-directory.
int makeDirectoryTree(const std::string& path, mode_t mode);

// A file of the cache (`path`) whose new content takes the old one's place
// in one step: a PendingFile under the cache's temporary pattern, with the
// permissions a new file gets under the umask.
class PendingCacheFile {
 public:
  explicit PendingCacheFile(const std::string& path);

  // Makes the temporary file with exactly `value` and flushes it; 0, or the
  // errno of what failed (nothing is then left).
  int write(std::string_view value);
  // Renames it over the old file and flushes the directory; 0 or an errno.
  int putInPlace() { return file_.putInPlace(); }

 private:
  PendingFile file_;
};

// `value` put in place at once as the validator file of `directory`.
// Does nothing when `directory` or `value` is empty; failures are ignored.
void writeValidatorFile(const std::string& directory, const std::string& value);

// Up to `limit` bytes of the cache's file `path`, never read through a link
// in its place; empty when it cannot be read or is longer than `limit`.
std::string readCacheFile(const std::string& path, size_t limit);

// True when the first line of the validator file of `directory` (the bytes
// before the first line feed) equals `value`, which must not be empty.
bool validatorFileMatches(const std::string& directory, const std::string& value);
