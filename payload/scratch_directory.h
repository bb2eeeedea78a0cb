// The private per-run directory under /tmp, and forced removal of a path.
#pragma once

#include <string>

// Makes a fresh directory /tmp/qzXXXXXX (mode 0700) on construction and
// removes it with everything in it on destruction. When no directory can be
// made the path is empty and destruction does nothing.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  std::string path() const { return path_; }

 private:
  std::string path_;
};

// Removes the file or directory tree at `path` when it exists (symbolic links
// followed for the check); does nothing otherwise. Failures are ignored.
void removePathIfExists(const std::string& path);
