#include "agent/cache_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "agent/agent_cache_layout.h"

CacheLock::CacheLock(const std::string& cacheDirectory) {
  fd_ = open(cacheFilePath(cacheDirectory, cacheLockFileName).c_str(),
             O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd_ < 0) return;
  int result;
  do {
    result = flock(fd_, LOCK_EX);
  } while (result != 0 && errno == EINTR);
  if (result == 0) return;
  close(fd_);
  fd_ = -1;
}

CacheLock::~CacheLock() {
  if (fd_ >= 0) close(fd_);
}
