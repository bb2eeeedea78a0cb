#include "agent/file_system_utilities.h"

#include <sys/stat.h>

#include <cerrno>
#include <fstream>

#include "launcher/build_constants.h"

namespace {

// The separator is added even after a directory that ends in one.
std::string validatorFilePath(const std::string& directory) {
  return directory + std::string(pathSeparator) + std::string(validatorFileName);
}

}  // namespace

int ensureDirectory(const char* path, mode_t mode) {
  struct stat status;
  if (stat(path, &status) != 0) {
    mkdir(path, mode);
    return 0;
  }
  if (S_ISDIR(status.st_mode)) return 0;
  errno = ENOTDIR;
  return -1;
}

int makeDirectoryTree(const std::string& path, mode_t mode) {
  size_t position = 0;
  for (;;) {
    size_t separator = path.find(pathSeparator, position);
    if (separator == std::string::npos) break;
    if (separator != position) {  // a leading or doubled separator ends no component
      int result = ensureDirectory(path.substr(0, separator).c_str(), mode);
      if (result != 0) return result;
    }
    position = separator + 1;
  }
  return ensureDirectory(path.c_str(), mode);
}

void writeValidatorFile(const std::string& directory, const std::string& value) {
  if (directory.empty() || value.empty()) return;
  std::ofstream file(validatorFilePath(directory), std::ios::binary | std::ios::trunc);
  file.write(value.data(), static_cast<std::streamsize>(value.size()));
}

bool validatorFileMatches(const std::string& directory, const std::string& value) {
  if (value.empty()) return false;
  std::ifstream file(validatorFilePath(directory), std::ios::binary);
  std::string firstLine;
  if (!file || !std::getline(file, firstLine)) return false;
  return firstLine == value;
}
