#include "payload/scratch_directory.h"

#include <stdlib.h>
#include <sys/stat.h>

#include "launcher/shell_command.h"
#include "launcher/path_join.h"

namespace {

constexpr std::string_view scratchName = "qzXXXXXX";

std::string makeTemporaryDirectory(const std::string& parent) {
  std::string pathTemplate = joinAlways(parent, scratchName);
  return mkdtemp(pathTemplate.data()) != nullptr ? pathTemplate : "";
}

std::string makeScratchDirectory(const std::string& fallbackParent) {
  std::string path = makeTemporaryDirectory("/tmp");
  if (path.empty() && !fallbackParent.empty()) path = makeTemporaryDirectory(fallbackParent);
  return path;
}

}  // namespace

ScratchDirectory::ScratchDirectory(const std::string& fallbackParent)
    : path_(makeScratchDirectory(fallbackParent)), interruptionCleanup_(path_) {}

ScratchDirectory::~ScratchDirectory() {
  if (!path_.empty()) runShellCommand(scratchRemovalCommandLine(path_));
}

std::string scratchRemovalCommandLine(const std::string& directory) {
  return "rm -rf " + quotePath(directory);
}

std::string removalCommandLine(const std::string& path) {
  return "rm -rf " + singleQuoted(notAnOption(path));
}

void removePathIfExists(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return;
  runShellCommand(removalCommandLine(path));
}
