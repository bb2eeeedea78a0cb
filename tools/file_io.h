// File handling for make-installer: failure reasons, owned descriptors,
// checked reads and writes, and an output that appears only when complete.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace packer {

// Why a step failed, as one line of text; an empty message means success, so
// `if (Error error = step()) return error;` passes failures up.
struct Error {
  std::string message;
  explicit operator bool() const { return !message.empty(); }
};

// "`what`: <strerror text of `code`>".
Error systemError(const std::string& what, int code);

// Owns a file descriptor: closes it on destruction unless close() ran first.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd();
  UniqueFd(UniqueFd&& other) noexcept;
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  // Closes now; false (errno set) when the kernel reported a failure.
  bool close();

 private:
  int fd_;
};

// A regular file open for reading, with its metadata as of the opening.
struct InputFile {
  std::string path;
  UniqueFd fd;
  struct stat info {};

  uint64_t size() const { return static_cast<uint64_t>(info.st_size); }
};

// Opens `path` for reading. Refuses directories and anything else that is
// not a regular file, naming the path in the message.
Error openInput(const std::string& path, InputFile& input);

// Fills `buffer` with `length` bytes from `offset`; fails when the file
// ends sooner, which means it changed after it was opened.
Error readExactly(const InputFile& input, uint64_t offset, char* buffer, size_t length);

// Writes all `length` bytes at the current position of `fd`; `name`
// labels the file in the message.
Error writeAll(int fd, const char* data, size_t length, const std::string& name);

// Writes all `length` bytes at `offset` of `fd` without moving its position.
Error writeAllAt(int fd, uint64_t offset, const char* data, size_t length, const std::string& name);

// A temporary file beside the target path that replaces the target only on
// commit(); until then it is removed on destruction, leaving the target as
// it was.
class PendingOutput {
 public:
  PendingOutput() = default;
  ~PendingOutput();
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;

  // Creates the empty temporary file as `target` + ".XXXXXX"; refuses a
  // target that exists but is not a regular file.
  Error create(const std::string& target);
  int fd() const { return fd_.get(); }
  // Gives the file `mode`, flushes it to disk, closes it and renames it onto
  // the target; on any failure the temporary file is still removed.
  Error commit(mode_t mode);

 private:
  std::string target_;
  std::string temporary_;
  UniqueFd fd_;
  bool committed_ = false;
};

}  // namespace packer
