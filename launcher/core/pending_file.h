// A file that takes its target's place only when whole: written under a
// temporary name beside the target, flushed, then renamed over the target
// in one step and the rename flushed, so that a crash or a failure leaves
// the old file or the new one, never a part. A link planted at the target
// is replaced, never followed. Until it is in place the temporary file goes
// on every way out, an interrupting signal included.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "launcher/core/interruption_cleanup.h"

class PendingFile {
 public:
  // `temporaryPattern` names the temporary file, ending in "XXXXXX" for
  // mkstemp.
  PendingFile(std::string target, std::string temporaryPattern);
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  // Each returns 0, or the errno of what failed. After a failure nothing of
  // the temporary file is left and the target is as it was.

  // Makes the temporary file, empty.
  int create();
  // Writes `bytes` at `offset`, which may lie before the end.
  int writeAt(uint64_t offset, std::string_view bytes);
  int append(std::string_view bytes) { return writeAt(size_, bytes); }
  uint64_t size() const { return size_; }
  // Gives it `mode` and flushes it to disk.
  int flush(mode_t mode);
  // Renames it over the target and flushes the directory that holds both.
  int putInPlace();

 private:
  int failed(int error);

  std::string target_, temporary_;
  int fd_ = -1;
  uint64_t size_ = 0;
  std::optional<RemovedOnInterruption> removal_;
};

// Flushes the entries of `directory` (a rename or removal in it) to disk.
void syncDirectory(const std::string& directory);
