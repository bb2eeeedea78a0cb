// The launcher's unzip command lines.
#pragma once

#include <string>
#include <string_view>

// `tool` `options` ARCHIVE -d DIRECTORY, the three names quoted for the shell
// and neither path readable as an option.
std::string unzipCommandLine(std::string_view tool, std::string_view options,
                             const std::string& archive, const std::string& directory);
