// Keeps the runs of one user from downloading and unpacking into the same
// agent cache at the same time, so that no run trusts a half-written agent.
#pragma once

#include <string>

// Holds an exclusive advisory lock (flock) on the lock file in the agent cache
// directory for its lifetime, waiting for it as long as another run holds it.
// Where the file cannot be made or the file system has no locks, it goes on
// without one. The descriptor is close-on-exec: nothing the launcher starts
// holds the lock, so an agent that starts another installer of the same
// cache cannot keep it from going on.
class CacheLock {
 public:
  explicit CacheLock(const std::string& cacheDirectory);
  ~CacheLock();
  CacheLock(const CacheLock&) = delete;
  CacheLock& operator=(const CacheLock&) = delete;

 private:
  int fd_ = -1;
};
