// The private per-run directory.
#pragma once

#include <optional>
#include <string>

#include "launcher/core/interruption_cleanup.h"

// Makes a fresh directory /tmp/qzXXXXXX (mode 0700) on construction, or,
// when /tmp cannot take one (missing, read-only, out of space or inodes),
// qzXXXXXX in `fallbackParent` when that is not empty. Removes it with
// everything in it on destruction, or when an interrupting signal ends the
// process first: the handlers are in place before the directory exists, and
// the signals are held back until it is registered for removal. When no
// directory can be made the path is empty, failure() says why, and
// destruction does nothing. One per process.
class ScratchDirectory {
 public:
  explicit ScratchDirectory(const std::string& fallbackParent);
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  std::string path() const { return path_; }

  // For an empty path: "Internal error: Failed to create a scratch directory
  // in /tmp (REASON) or beside the installer (REASON)", each reason the
  // system's text for the error of that attempt.
  std::string failure() const;

 private:
  bool make(std::string pathTemplate);

  InterruptionCleanup interruptionCleanup_;  // first in, last out: it outlives the removal
  std::string path_;
  std::optional<RemovedOnInterruption> removal_;
  int tmpError_ = 0, fallbackError_ = 0;
};

// "rm -rf " and the scratch directory's path, quoted only when it needs to be
// (a directory under /tmp never does).
std::string scratchRemovalCommandLine(const std::string& directory);
