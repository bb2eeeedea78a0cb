// File handling for make-installer: failure reasons, owned files, one
// loop for every read and write, and an output that appears only when whole.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

namespace packer {

// Why a step failed, as one line; empty means success, so that
// `if (Error error = step()) return error;` passes failures up.
struct Error {
  std::string message;
  explicit operator bool() const { return !message.empty(); }
};

inline Error systemError(const std::string& what, int code) {
  return Error{what + ": " + std::strerror(code)};
}

// The one loop behind every read and write: `io(done)` moves some of what is
// left of `length` after `done` bytes; moving nothing means the input ended.
template <typename Io>
Error transfer(size_t length, const std::string& failed, Io io) {
  for (size_t done = 0; done < length;) {
    ssize_t moved = io(done);
    if (moved < 0 && errno == EINTR) continue;
    if (moved < 0) return systemError(failed, errno);
    if (moved == 0) return Error{failed + ": the file shrank while it was read"};
    done += static_cast<size_t>(moved);
  }
  return {};
}

// A regular file open for reading, with its metadata as of the opening.
struct InputFile {
  std::string path;
  int fd = -1;
  struct stat info {};

  InputFile() = default;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile() {
    if (fd >= 0) close(fd);
  }
  uint64_t size() const { return static_cast<uint64_t>(info.st_size); }
  // Refuses anything but a regular file; O_NONBLOCK keeps a named pipe from
  // hanging the open.
  Error open(const std::string& name) {
    path = name, fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 || fstat(fd, &info) != 0) return systemError(path, errno);
    if (S_ISDIR(info.st_mode)) return systemError(path, EISDIR);
    return S_ISREG(info.st_mode) ? Error{} : Error{path + ": not a regular file"};
  }
  // Fills `buffer` from `offset`; a file that ends sooner has changed.
  Error readAt(uint64_t offset, std::string& buffer) const {
    return transfer(buffer.size(), "cannot read " + path, [&](size_t done) {
      return pread(fd, &buffer[done], buffer.size() - done, static_cast<off_t>(offset + done));
    });
  }
};

// A temporary file beside the target that replaces it only on commit();
// until then it is removed on destruction, leaving the target as it was.
class PendingOutput {
 public:
  explicit PendingOutput(std::string target) : target_(std::move(target)) {}
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;
  ~PendingOutput() {
    if (fd_ >= 0) close(fd_);
    if (!temporary_.empty()) unlink(temporary_.c_str());
  }

  // Makes target.XXXXXX; refuses a target that exists but is not a regular
  // file, which the rename would replace.
  Error create() {
    struct stat existing;
    if (stat(target_.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode))
      return Error{target_ + ": exists and is not a regular file"};
    std::string pattern = target_ + ".XXXXXX";
    fd_ = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd_ < 0) return systemError("cannot create a file beside " + target_, errno);
    temporary_ = pattern;
    return {};
  }
  uint64_t size() const { return size_; }
  // Writes `bytes` at `offset`, which may lie before the end.
  Error writeAt(uint64_t offset, std::string_view bytes) {
    size_ = std::max(size_, offset + bytes.size());
    return transfer(bytes.size(), "cannot write " + target_, [&](size_t done) {
      return pwrite(fd_, &bytes[done], bytes.size() - done, static_cast<off_t>(offset + done));
    });
  }
  Error append(std::string_view bytes) { return writeAt(size_, bytes); }
  // Gives the file `mode`, flushes it to disk and renames it onto the target.
  // Linux releases a descriptor even when close fails, so none is retried.
  Error commit(mode_t mode) {
    if (fchmod(fd_, mode) != 0 || fsync(fd_) != 0 || close(std::exchange(fd_, -1)) != 0 ||
        std::rename(temporary_.c_str(), target_.c_str()) != 0)
      return systemError("cannot write " + target_, errno);
    temporary_.clear();  // renamed: nothing left to remove
    return {};
  }

 private:
  std::string target_, temporary_;
  int fd_ = -1;
  uint64_t size_ = 0;
};

}  // namespace packer
