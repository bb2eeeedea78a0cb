// File handling for make-installer: owned input files, one loop for every
// read, and an output that appears only when whole.
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

#include "launcher/core/failure.h"
#include "launcher/core/pending_file.h"

namespace packer {

inline Failure systemError(const std::string& what, int code) {
  return Failure(what + ": " + std::strerror(code));
}

// The one loop behind every read and write: `io(done)` moves some of what is
// left of `length` after `done` bytes; moving nothing means the input ended.
template <typename Io>
Failure transfer(size_t length, const std::string& failed, Io io) {
  for (size_t done = 0; done < length;) {
    ssize_t moved = io(done);
    if (moved < 0 && errno == EINTR) continue;
    if (moved < 0) return systemError(failed, errno);
    if (moved == 0) return Failure(failed + ": the file shrank while it was read");
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
  Failure open(const std::string& name) {
    path = name, fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 || fstat(fd, &info) != 0) return systemError(path, errno);
    if (S_ISDIR(info.st_mode)) return systemError(path, EISDIR);
    return S_ISREG(info.st_mode) ? Failure() : Failure(path + ": not a regular file");
  }
  // Fills `buffer` from `offset`; a file that ends sooner has changed.
  Failure readAt(uint64_t offset, std::string& buffer) const {
    return transfer(buffer.size(), "cannot read " + path, [&](size_t done) {
      return pread(fd, &buffer[done], buffer.size() - done, static_cast<off_t>(offset + done));
    });
  }
};

// The installer being written: it replaces the target only on commit(), and
// until then the target stays as it was.
class PendingOutput {
 public:
  explicit PendingOutput(const std::string& target)
      : target_(target), file_(target, target + ".XXXXXX") {}

  // Refuses a target that exists but is not a regular file, which the
  // rename would replace.
  Failure create() {
    struct stat existing;
    if (stat(target_.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode))
      return Failure(target_ + ": exists and is not a regular file");
    return failure(file_.create(), "cannot create a file beside ");
  }
  uint64_t size() const { return file_.size(); }
  Failure writeAt(uint64_t offset, std::string_view bytes) {
    return failure(file_.writeAt(offset, bytes), "cannot write ");
  }
  Failure append(std::string_view bytes) { return writeAt(size(), bytes); }
  // Gives the file `mode`, flushes it and renames it onto the target.
  Failure commit(mode_t mode) {
    int error = file_.flush(mode);
    return failure(error != 0 ? error : file_.putInPlace(), "cannot write ");
  }

 private:
  Failure failure(int error, const char* what) const {
    return error != 0 ? systemError(what + target_, error) : Failure();
  }

  std::string target_;
  PendingFile file_;
};

}  // namespace packer
