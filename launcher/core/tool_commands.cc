#include "launcher/core/tool_commands.h"

#include <sys/stat.h>

#include "launcher/core/shell_command.h"

std::string unzipCommandLine(std::string_view options, const std::string& archive,
                             const std::string& directory) {
  return "unzip " + std::string(options) + " " + quotePath(archive) + " -d " + quotePath(directory);
}

std::string removalCommandLine(const std::string& path) {
  return "rm -rf " + singleQuoted(notAnOption(path));
}

void removePathIfExists(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return;
  runShellCommand(removalCommandLine(path));
}
