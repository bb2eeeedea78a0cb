#include "launcher/builtin/file_window.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

constexpr size_t windowSize = 64 * 1024;

}  // namespace

bool readFully(int fd, uint64_t offset, void* buffer, size_t count) {
  auto bytes = static_cast<unsigned char*>(buffer);
  for (size_t done = 0; done < count;) {
    ssize_t got = pread(fd, bytes + done, count - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

const unsigned char* FileWindow::take(size_t count) {
  const unsigned char* bytes = peek(count);
  if (bytes != nullptr) position_ += count;
  return bytes;
}

const unsigned char* FileWindow::peek(size_t count) {
  if (count > left()) return nullptr;
  bool inBuffer = position_ >= bufferStart_ && position_ + count <= bufferStart_ + buffer_.size();
  if (!inBuffer) {
    size_t size = static_cast<size_t>(std::min<uint64_t>(left(), std::max(count, windowSize)));
    buffer_.resize(size);
    bufferStart_ = position_;
    if (!readFully(fd_, bufferStart_, buffer_.data(), size)) {
      buffer_.clear();
      return nullptr;
    }
  }
  return buffer_.data() + (position_ - bufferStart_);
}
