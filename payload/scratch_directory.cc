#include "payload/scratch_directory.h"

#include <stdlib.h>
#include <sys/stat.h>

#include "launcher/shell_command.h"

ScratchDirectory::ScratchDirectory() {
  char pathTemplate[] = "/tmp/qzXXXXXX";
  if (mkdtemp(pathTemplate) != nullptr) path_ = pathTemplate;
}

ScratchDirectory::~ScratchDirectory() {
  // The name comes from the fixed template: no blank, no shell metacharacter.
  if (!path_.empty()) runShellCommand("rm -rf " + path_);
}

void removePathIfExists(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return;
  runShellCommand("rm -rf " + singleQuoted(path));
}
