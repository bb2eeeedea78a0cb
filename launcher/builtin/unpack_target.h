// The directory an archive is unpacked into, and every name made below it.
// Names are looked up one component at a time from the directory itself,
// never following a symbolic link, so nothing can be written outside it;
// the directory's own path may lead through links.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "launcher/builtin/unique_fd.h"
#include "launcher/builtin/unzip_problem.h"

using PathComponents = std::vector<std::string>;

class UnpackTarget {
 public:
  // Opens `directory`, made first with any missing directory above it (mode
  // 0777 less the umask), as unzip -d makes its target.
  UnzipProblem open(const std::string& directory);

  // Makes the directory `path` and those on the way to it; `created` tells
  // whether `path` itself was made now.
  UnzipProblem makeDirectory(const PathComponents& path, const std::string& member, bool* created);

  // Replaces whatever file or link is at `path` (a directory stays, and is a
  // failure) by a new empty file of mode 0600, open for writing.
  UnzipProblem createFile(const PathComponents& path, const std::string& member, UniqueFd* file);

  // The directory holding `path`, when it exists and is reached without a
  // link; -1 otherwise. Valid until the next call.
  int existingParent(const PathComponents& path);

 private:
  UnzipProblem walk(const PathComponents& path, size_t count, bool create,
                    const std::string& member, int* fd);

  UniqueFd target_;
  // The directory the last walk ended in, kept open: members usually come
  // directory by directory.
  PathComponents cachedPath_;
  UniqueFd cachedFd_;
};
