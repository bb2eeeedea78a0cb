#include "payload/scratch_directory.h"

#include <stdlib.h>
#include <sys/stat.h>

#include "launcher/shell_command.h"

namespace {

std::string makeScratchDirectory() {
  char pathTemplate[] = "/tmp/qzXXXXXX";
  return mkdtemp(pathTemplate) != nullptr ? pathTemplate : "";
}

}  // namespace

ScratchDirectory::ScratchDirectory() : path_(makeScratchDirectory()), interruptionCleanup_(path_) {}

ScratchDirectory::~ScratchDirectory() {
  if (!path_.empty()) runTool(scratchRemovalCommandLine(path_));
}

std::string scratchRemovalCommandLine(const std::string& directory) {
  return "rm -rf " + directory;
}

std::string removalCommandLine(const std::string& path) {
  return "rm -rf " + singleQuoted(notAnOption(path));
}

void removePathIfExists(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return;
  runTool(removalCommandLine(path));
}
