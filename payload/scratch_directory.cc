#include "payload/scratch_directory.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "launcher/builtin/tree_removal.h"
#include "launcher/core/paths.h"
#include "launcher/core/shell_command.h"

namespace {

constexpr std::string_view scratchName = "qzXXXXXX";

}  // namespace

ScratchDirectory::ScratchDirectory(const std::string& fallbackParent) {
  if (make(joinAlways("/tmp", scratchName))) return;
  tmpError_ = errno;
  if (!fallbackParent.empty() && make(joinAlways(fallbackParent, scratchName))) return;
  fallbackError_ = fallbackParent.empty() ? ENOENT : errno;
}

// Everything is allocated before the directory exists, so that nothing can
// fail between its making and its registration.
bool ScratchDirectory::make(std::string pathTemplate) {
  InterruptionsHeld held;
  if (mkdtemp(pathTemplate.data()) == nullptr) return false;
  path_ = std::move(pathTemplate);
  removal_.emplace(path_);
  return true;
}

ScratchDirectory::~ScratchDirectory() {
  if (path_.empty()) return;
  try {
    runShellCommand(scratchRemovalCommandLine(path_));
  } catch (...) {
    // No memory for the command line: the same removal, without allocating.
    removeTree(path_.c_str());
  }
}

std::string ScratchDirectory::failure() const {
  return "Internal error: Failed to create a scratch directory in /tmp (" +
         std::string(std::strerror(tmpError_)) + ") or beside the installer (" +
         std::strerror(fallbackError_) + ")";
}

std::string scratchRemovalCommandLine(const std::string& directory) {
  return "rm -rf " + quotePath(directory);
}
