// Linked into the static launcher only, whose link sends OpenSSL's calls of
// getentropy() here. OpenSSL seeds its generator from getentropy(); where
// getrandom is refused (ENOSYS or EPERM from the seccomp filter of an older
// container runtime), it would turn to /dev/urandom only when a System V
// shared memory segment with key 0x72 says that some process saw /dev/random
// seeded, which nothing makes on a kernel of 4.8 or later: https would fail,
// or not, by what other processes left. The bytes come from /dev/urandom
// instead, the pool getrandom itself draws from.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>

extern "C" {

int __real_getentropy(void* buffer, size_t length);

int __wrap_getentropy(void* buffer, size_t length) {
  if (__real_getentropy(buffer, length) == 0) return 0;
  if (errno != ENOSYS && errno != EPERM) return -1;
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  for (size_t done = 0; done < length;) {
    ssize_t count = read(fd, static_cast<char*>(buffer) + done, length - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      int error = count < 0 ? errno : EIO;
      close(fd);
      errno = error;
      return -1;
    }
    done += static_cast<size_t>(count);
  }
  close(fd);
  return 0;
}

}  // extern "C"
