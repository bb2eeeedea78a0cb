// The command lines that call unzip and rm, composed so that every path
// reaches the tool as one word that no tool reads as an option, and the
// forced removal of a path that the agent cache uses.
#pragma once

#include <string>
#include <string_view>

// "unzip", `options`, ARCHIVE, "-d", DIRECTORY.
std::string unzipCommandLine(std::string_view options, const std::string& archive,
                             const std::string& directory);

// "rm -rf " and `path` in single quotes, with "./" in front of a path that
// begins with "-".
std::string removalCommandLine(const std::string& path);

// Removes the file or directory tree at `path` when it exists (symbolic links
// followed for the check); does nothing otherwise. Failures are ignored.
void removePathIfExists(const std::string& path);
