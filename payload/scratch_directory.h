// The private per-run directory under /tmp, and forced removal of a path.
#pragma once

#include <string>

#include "payload/interruption_cleanup.h"

// Makes a fresh directory /tmp/qzXXXXXX (mode 0700) on construction and
// removes it with everything in it on destruction, or when SIGINT, SIGTERM or
// SIGHUP ends the process first. When no directory can be made the path is
// empty and destruction does nothing. One per process.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  std::string path() const { return path_; }

 private:
  std::string path_;
  InterruptionCleanup interruptionCleanup_;  // outlives the removal in the destructor
};

// Removes the file or directory tree at `path` when it exists (symbolic links
// followed for the check); does nothing otherwise. Failures are ignored.
void removePathIfExists(const std::string& path);
