#include "launcher/builtin/unpack_target.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int directoryFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::string joined(const PathComponents& path, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) text.append(i > 0 ? "/" : "").append(path[i]);
  return text;
}

// Why `name` in `directory` could not be entered as a directory.
UnzipProblem notEnterable(int directory, const PathComponents& path, size_t index,
                          const std::string& member, int error) {
  struct stat status;
  std::string shown = joined(path, index + 1);
  if (fstatat(directory, path[index].c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(status.st_mode))
      return problemWith(UnzipResult::badDirectory, member, shown + " is a symbolic link");
    if (!S_ISDIR(status.st_mode))
      return problemWith(UnzipResult::damaged, member, shown + " exists but is not a directory");
  }
  return problemWith(UnzipResult::cannotWrite, member, shown + ": " + std::strerror(error));
}

// Makes each missing directory of `path` with mode 0777 less the umask.
void makeDirectories(const std::string& path) {
  for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
    mkdir(path.substr(0, at).c_str(), 0777);
  mkdir(path.c_str(), 0777);
}

}  // namespace

UnzipProblem UnpackTarget::open(const std::string& directory) {
  makeDirectories(directory);
  target_.reset(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!target_)
    return problemWith(UnzipResult::cannotWrite, "",
                       "cannot open " + directory + ": " + std::strerror(errno));
  return {};
}

UnzipProblem UnpackTarget::walk(const PathComponents& path, size_t count, bool create,
                                const std::string& member, int* fd) {
  if (count == 0) {
    *fd = target_.get();
    return {};
  }
  if (cachedFd_ && cachedPath_.size() == count &&
      std::equal(cachedPath_.begin(), cachedPath_.end(), path.begin())) {
    *fd = cachedFd_.get();
    return {};
  }
  cachedFd_.reset(), cachedPath_.clear();
  UniqueFd current;
  for (size_t i = 0; i < count; ++i) {
    int parent = i == 0 ? target_.get() : current.get();
    int next = openat(parent, path[i].c_str(), directoryFlags);
    if (next < 0 && errno == ENOENT && create) {
      if (mkdirat(parent, path[i].c_str(), 0777) != 0 && errno != EEXIST)
        return notEnterable(parent, path, i, member, errno);
      next = openat(parent, path[i].c_str(), directoryFlags);
    }
    if (next < 0) return notEnterable(parent, path, i, member, errno);
    current.reset(next);
  }
  cachedPath_.assign(path.begin(), path.begin() + count);
  cachedFd_ = std::move(current);
  *fd = cachedFd_.get();
  return {};
}

UnzipProblem UnpackTarget::makeDirectory(const PathComponents& path, const std::string& member,
                                         bool* created) {
  int parent;
  if (UnzipProblem problem = walk(path, path.size() - 1, true, member, &parent)) return problem;
  *created = mkdirat(parent, path.back().c_str(), 0777) == 0;
  if (*created) return {};
  if (errno != EEXIST)
    return problemWith(UnzipResult::cannotWrite, member,
                       joined(path, path.size()) + ": " + std::strerror(errno));
  int ignored;
  return walk(path, path.size(), false, member, &ignored);  // there, and a directory
}

UnzipProblem UnpackTarget::createFile(const PathComponents& path, const std::string& member,
                                      UniqueFd* file) {
  int parent;
  if (UnzipProblem problem = walk(path, path.size() - 1, true, member, &parent)) return problem;
  const char* name = path.back().c_str();
  struct stat status;
  if (fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISDIR(status.st_mode))
      return problemWith(UnzipResult::cannotWrite, member,
                         joined(path, path.size()) + " is a directory");
    if (unlinkat(parent, name, 0) != 0)
      return problemWith(
          UnzipResult::cannotWrite, member,
          "cannot replace " + joined(path, path.size()) + ": " + std::strerror(errno));
  }
  file->reset(openat(parent, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!*file)
    return problemWith(UnzipResult::cannotWrite, member,
                       joined(path, path.size()) + ": " + std::strerror(errno));
  return {};
}

int UnpackTarget::existingParent(const PathComponents& path) {
  int parent;
  return walk(path, path.size() - 1, false, "", &parent) ? -1 : parent;
}
