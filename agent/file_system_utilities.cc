#include "agent/file_system_utilities.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "launcher/build_constants.h"
#include "launcher/unique_file.h"
#include "launcher/path_join.h"

namespace {

std::string cacheFilePath(const std::string& directory, std::string_view name) {
  return joinAlways(directory, name);
}

// A file of the cache as a stdio stream, never through a link in its place.
UniqueFile openCacheFile(const std::string& directory, std::string_view name, int flags,
                         const char* mode) {
  int fd = open(cacheFilePath(directory, name).c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  UniqueFile file(fdopen(fd, mode));
  if (!file) close(fd);
  return file;
}

}  // namespace

std::string validatorFilePath(const std::string& directory) {
  return cacheFilePath(directory, validatorFileName);
}

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
  writeCacheFile(directory, validatorFileName, value);
}

void writeCacheFile(const std::string& directory, std::string_view name, const std::string& value) {
  if (directory.empty() || value.empty()) return;
  // A whole new file takes the old one's name in one step, so a crash leaves
  // one or the other, never a part; a link planted at the name is replaced,
  // never followed.
  std::string target = cacheFilePath(directory, name);
  std::string temporary = target + std::string(temporarySuffix);
  int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return;
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  bool written =
      write(fd, value.data(), value.size()) == static_cast<ssize_t>(value.size()) && fsync(fd) == 0;
  close(fd);
  if (!written || std::rename(temporary.c_str(), target.c_str()) != 0) {
    unlink(temporary.c_str());
    return;
  }
  int parent = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parent >= 0) fsync(parent), close(parent);
}

bool validatorFileMatches(const std::string& directory, const std::string& value) {
  if (value.empty()) return false;
  UniqueFile file = openCacheFile(directory, validatorFileName, O_RDONLY, "rb");
  if (!file) return false;
  // Only the first line counts, and one byte more than the value tells
  // whether that line ends where the value does.
  std::string head(value.size() + 1, '\0');
  head.resize(std::fread(head.data(), 1, head.size(), file.get()));
  return std::string_view(head).substr(0, head.find('\n')) == value;
}

std::string readCacheFile(const std::string& directory, std::string_view name, size_t limit) {
  UniqueFile file = openCacheFile(directory, name, O_RDONLY, "rb");
  if (!file) return "";
  std::string content(limit + 1, '\0');  // one byte more tells a longer file
  content.resize(std::fread(content.data(), 1, content.size(), file.get()));
  return content.size() <= limit ? content : "";
}
