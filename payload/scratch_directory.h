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

// "rm -rf " and the scratch directory's path as it is: the fixed template
// gives it no character that a shell treats specially.
std::string scratchRemovalCommandLine(const std::string& directory);

// "rm -rf " and `path` in single quotes, with "./" in front of a path that
// begins with "-" so that rm cannot read it as an option.
std::string removalCommandLine(const std::string& path);

// Removes the file or directory tree at `path` when it exists (symbolic links
// followed for the check); does nothing otherwise. Failures are ignored.
void removePathIfExists(const std::string& path);
