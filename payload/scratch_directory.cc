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
  // The name comes from the fixed template: no blank, no shell metacharacter.
  if (!path_.empty()) runTool("rm -rf " + path_);
}

void removePathIfExists(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return;
  runTool("rm -rf " + singleQuoted(path.front() == '-' ? "./" + path : path));
}
