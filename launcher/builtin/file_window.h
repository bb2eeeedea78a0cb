// Reads a stretch of an open file front to back through one buffer, so that
// many small records cost few system calls, and never past the stretch's
// end, whatever the records claim.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class FileWindow {
 public:
  FileWindow(int fd, uint64_t begin, uint64_t end) : fd_(fd), position_(begin), end_(end) {}

  uint64_t position() const { return position_; }
  uint64_t left() const { return end_ - position_; }

  // The next `count` bytes, or null when fewer are left in the stretch or
  // the file cannot give them; the bytes stay valid until the next call.
  // take() moves past them, peek() does not.
  const unsigned char* take(size_t count);
  const unsigned char* peek(size_t count);

 private:
  int fd_;
  uint64_t position_, end_;
  std::vector<unsigned char> buffer_;
  uint64_t bufferStart_ = 0;
};

// Fills `count` bytes at `buffer` from `offset` of `fd`; false when the file
// ends sooner or cannot be read.
bool readFully(int fd, uint64_t offset, void* buffer, size_t count);
