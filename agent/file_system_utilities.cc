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

PendingCacheFile::PendingCacheFile(const std::string& directory, std::string_view name)
    : directory_(directory), target_(cacheFilePath(directory, name)),
      temporary_(target_ + std::string(temporarySuffix)) {}

PendingCacheFile::~PendingCacheFile() {
  if (removal_) unlink(temporary_.c_str());
}

bool PendingCacheFile::write(std::string_view value) {
  int fd;
  {
    InterruptionsHeld held;  // made and registered in one step
    fd = mkostemp(temporary_.data(), O_CLOEXEC);
    if (fd < 0) return false;
    removal_.emplace(temporary_);
  }
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  ssize_t written = ::write(fd, value.data(), value.size());
  if (written >= 0 && static_cast<size_t>(written) != value.size()) errno = ENOSPC;
  bool flushed = written == static_cast<ssize_t>(value.size()) && fsync(fd) == 0;
  int error = errno;
  close(fd);
  if (!flushed) {
    unlink(temporary_.c_str());
    removal_.reset();
  }
  errno = error;
  return flushed;
}

bool PendingCacheFile::putInPlace() {
  bool renamed = std::rename(temporary_.c_str(), target_.c_str()) == 0;
  int error = errno;
  if (!renamed) unlink(temporary_.c_str());
  removal_.reset();
  if (renamed) syncDirectory(directory_);
  errno = error;
  return renamed;
}

void writeCacheFile(const std::string& directory, std::string_view name, const std::string& value) {
  if (directory.empty() || value.empty()) return;
  PendingCacheFile file(directory, name);
  if (file.write(value)) file.putInPlace();
}

void syncDirectory(const std::string& directory) {
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
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
