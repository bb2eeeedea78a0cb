// An advisory lock (flock) on a directory of the agent cache, held through an
// open descriptor of the directory itself, so that it follows the directory
// through a rename. Runs share the lock on the agent directory they run
// from; a run replaces a directory only with the lock to itself.
#pragma once

#include <string>

class DirectoryLock {
 public:
  DirectoryLock() = default;
  // Opens `path` (never through a link in its place), close-on-exec, so that
  // no agent inherits it; no lock yet. isOpen() is false when it cannot be
  // opened, with the reason in openError().
  explicit DirectoryLock(const std::string& path);
  ~DirectoryLock();
  DirectoryLock(DirectoryLock&& other) noexcept;
  DirectoryLock& operator=(DirectoryLock&& other) noexcept;
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  int openError() const { return openError_; }

  // Takes the lock to itself without waiting. False only when another
  // holder has the directory; a file system without locks counts as a lock
  // taken, as it keeps no one out anyway.
  bool tryExclusive();

  // Takes the lock shared, waiting while someone holds it to itself; a lock
  // held to itself becomes shared.
  void share();

 private:
  int fd_ = -1;
  int openError_ = 0;
};
