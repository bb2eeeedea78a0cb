#include "launcher/core/pending_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "launcher/core/paths.h"

PendingFile::PendingFile(std::string target, std::string temporaryPattern)
    : target_(std::move(target)), temporary_(std::move(temporaryPattern)) {}

PendingFile::~PendingFile() {
  if (fd_ >= 0) close(fd_);
  if (removal_) unlink(temporary_.c_str());
}

int PendingFile::failed(int error) {
  if (fd_ >= 0) close(std::exchange(fd_, -1));
  if (removal_) unlink(temporary_.c_str());
  removal_.reset();
  return error;
}

int PendingFile::create() {
  InterruptionsHeld held;  // made and registered in one step
  fd_ = mkostemp(temporary_.data(), O_CLOEXEC);
  if (fd_ < 0) return errno;
  removal_.emplace(temporary_);
  return 0;
}

int PendingFile::writeAt(uint64_t offset, std::string_view bytes) {
  for (size_t done = 0; done < bytes.size();) {
    ssize_t moved =
        pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (moved < 0 && errno == EINTR) continue;
    if (moved < 0) return failed(errno);
    if (moved == 0) return failed(ENOSPC);
    done += static_cast<size_t>(moved);
  }
  if (offset + bytes.size() > size_) size_ = offset + bytes.size();
  return 0;
}

int PendingFile::flush(mode_t mode) {
  if (fchmod(fd_, mode) != 0 || fsync(fd_) != 0) return failed(errno);
  // Linux releases a descriptor even when close fails, so none is retried.
  if (close(std::exchange(fd_, -1)) != 0) return failed(errno);
  return 0;
}

int PendingFile::putInPlace() {
  if (std::rename(temporary_.c_str(), target_.c_str()) != 0) return failed(errno);
  removal_.reset();
  syncDirectory(parentDirectory(target_));
  return 0;
}

void syncDirectory(const std::string& directory) {
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}
