#include "tools/file_io.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace packer {

Error systemError(const std::string& what, int code) {
  return Error{what + ": " + std::strerror(code)};
}

UniqueFd::~UniqueFd() { close(); }

UniqueFd::UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

bool UniqueFd::close() {
  if (fd_ < 0) return true;
  // Linux releases the descriptor even when close reports an error, so it
  // is never retried.
  return ::close(std::exchange(fd_, -1)) == 0;
}

Error openInput(const std::string& path, InputFile& input) {
  // O_NONBLOCK keeps a named pipe from hanging the open; it is refused below.
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return systemError(path, errno);
  struct stat info;
  if (fstat(fd.get(), &info) != 0) return systemError(path, errno);
  if (S_ISDIR(info.st_mode)) return systemError(path, EISDIR);
  if (!S_ISREG(info.st_mode)) return Error{path + ": not a regular file"};
  input.path = path;
  input.fd = std::move(fd);
  input.info = info;
  return {};
}

Error readExactly(const InputFile& input, uint64_t offset, char* buffer, size_t length) {
  while (length > 0) {
    ssize_t got = pread(input.fd.get(), buffer, length, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return systemError("cannot read " + input.path, errno);
    if (got == 0) return Error{input.path + ": file shrank while it was being read"};
    buffer += got;
    offset += static_cast<uint64_t>(got);
    length -= static_cast<size_t>(got);
  }
  return {};
}

Error writeAll(int fd, const char* data, size_t length, const std::string& name) {
  while (length > 0) {
    ssize_t put = write(fd, data, length);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return systemError("cannot write " + name, errno);
    data += put;
    length -= static_cast<size_t>(put);
  }
  return {};
}

Error writeAllAt(int fd, uint64_t offset, const char* data, size_t length,
                 const std::string& name) {
  while (length > 0) {
    ssize_t put = pwrite(fd, data, length, static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return systemError("cannot write " + name, errno);
    data += put;
    offset += static_cast<uint64_t>(put);
    length -= static_cast<size_t>(put);
  }
  return {};
}

PendingOutput::~PendingOutput() {
  if (!temporary_.empty() && !committed_) unlink(temporary_.c_str());
}

Error PendingOutput::create(const std::string& target) {
  // Renaming onto a device or directory would replace it: only a regular
  // file (or nothing) may be at the target.
  struct stat existing;
  if (stat(target.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode))
    return Error{target + ": exists and is not a regular file"};
  std::string pattern = target + ".XXXXXX";
  UniqueFd fd(mkostemp(pattern.data(), O_CLOEXEC));
  if (fd.get() < 0) return systemError("cannot create a file beside " + target, errno);
  target_ = target;
  temporary_ = pattern;
  fd_ = std::move(fd);
  return {};
}

Error PendingOutput::commit(mode_t mode) {
  const std::string failed = "cannot write " + target_;
  if (fchmod(fd_.get(), mode) != 0) return systemError(failed, errno);
  if (fsync(fd_.get()) != 0) return systemError(failed, errno);
  if (!fd_.close()) return systemError(failed, errno);
  if (std::rename(temporary_.c_str(), target_.c_str()) != 0) return systemError(failed, errno);
  committed_ = true;
  return {};
}

}  // namespace packer
