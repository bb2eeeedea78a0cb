#include "payload/unzip_command.h"

#include "launcher/shell_command.h"

std::string unzipCommandLine(std::string_view tool, std::string_view options,
                             const std::string& archive, const std::string& directory) {
  return quoteArgument(tool) + " " + std::string(options) + " " + quotePath(archive) + " -d " +
         quotePath(directory);
}
