#include "agent/file_system_utilities.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "agent/agent_cache_layout.h"
#include "launcher/core/build_constants.h"
#include "launcher/core/unique_file.h"

namespace {

// 0 unless something other than a directory stands at `path` (-1, errno
// ENOTDIR). A missing directory is created with `mode` (less the umask); a
// failure to create it is not reported.
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

// A file of the cache as a stdio stream, never through a link in its place.
UniqueFile openCacheFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;
  UniqueFile file(fdopen(fd, "rb"));
  if (!file) close(fd);
  return file;
}

mode_t newFileMode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

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

PendingCacheFile::PendingCacheFile(const std::string& path)
    : file_(path, temporaryFilePattern(path)) {}

int PendingCacheFile::write(std::string_view value) {
  if (int error = file_.create()) return error;
  if (int error = file_.append(value)) return error;
  return file_.flush(newFileMode());
}

namespace {

// `value` put in place at `path` at once, unless it is empty.
void writeCacheFile(const std::string& path, const std::string& value) {
  if (value.empty()) return;
  PendingCacheFile file(path);
  if (file.write(value) == 0) file.putInPlace();
}

}  // namespace

void writeValidatorFile(const std::string& directory, const std::string& value) {
  if (!directory.empty()) writeCacheFile(validatorFilePath(directory), value);
}

bool validatorFileMatches(const std::string& directory, const std::string& value) {
  if (value.empty()) return false;
  UniqueFile file = openCacheFile(validatorFilePath(directory));
  if (!file) return false;
  // Only the first line counts, and one byte more than the value tells
  // whether that line ends where the value does.
  std::string head(value.size() + 1, '\0');
  head.resize(std::fread(head.data(), 1, head.size(), file.get()));
  return std::string_view(head).substr(0, head.find('\n')) == value;
}

std::string readCacheFile(const std::string& path, size_t limit) {
  UniqueFile file = openCacheFile(path);
  if (!file) return "";
  std::string content(limit + 1, '\0');  // one byte more tells a longer file
  content.resize(std::fread(content.data(), 1, content.size(), file.get()));
  return content.size() <= limit ? content : "";
}
