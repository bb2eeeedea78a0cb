#include "agent/directory_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

DirectoryLock::DirectoryLock(const std::string& path) {
  fd_ = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd_ < 0) openError_ = errno;
}

DirectoryLock::~DirectoryLock() {
  if (fd_ >= 0) close(fd_);
}

DirectoryLock::DirectoryLock(DirectoryLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), openError_(other.openError_) {}

DirectoryLock& DirectoryLock::operator=(DirectoryLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    openError_ = other.openError_;
  }
  return *this;
}

bool DirectoryLock::tryExclusive() {
  if (fd_ < 0) return true;
  int result;
  do {
    result = flock(fd_, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  return result == 0 || errno != EWOULDBLOCK;
}

void DirectoryLock::share() {
  if (fd_ < 0) return;
  int result;
  do {
    result = flock(fd_, LOCK_SH);
  } while (result != 0 && errno == EINTR);
}
