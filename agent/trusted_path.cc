#include "agent/trusted_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace {

// As many links as the kernel follows in one lookup.
constexpr int linkLimit = 40;

bool writableByOthers(const struct stat& status) {
  return (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// One name still to be looked up, and the prefix of the caller's path to
// name if what it leads to cannot be trusted.
struct Step {
  std::string name;
  std::string shown;
};

// Pushes the names of `path` so that the first is looked up first; each step
// shows its own prefix of `path`, or `shown` when one is given.
void pushNames(std::vector<Step>* pending, const std::string& path, const std::string* shown) {
  std::vector<Step> steps;
  for (size_t start = 0; start < path.size();) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start)
      steps.push_back({path.substr(start, end - start), shown ? *shown : path.substr(0, end)});
    start = end + 1;
  }
  pending->insert(pending->end(), steps.rbegin(), steps.rend());
}

std::string join(const std::string& directory, const std::string& name) {
  return directory == "/" ? "/" + name : directory + "/" + name;
}

std::string parentOf(const std::string& directory) {
  size_t separator = directory.find_last_of('/');
  return separator == 0 || separator == std::string::npos ? "/" : directory.substr(0, separator);
}

// The walk down a path, one real directory at a time.
class PathWalk {
 public:
  bool run(const std::string& path, std::string* offender);

 private:
  bool enter(const std::string& directory, const std::string& shown);
  bool fail(const std::string& shown, std::string* offender) {
    *offender = shown;
    return false;
  }

  std::vector<Step> pending_;  // the next name to look up is at the back
  std::string current_ = "/", currentShown_ = "/";
  struct stat currentStatus_ {};
};

bool PathWalk::enter(const std::string& directory, const std::string& shown) {
  current_ = directory;
  currentShown_ = shown;
  return lstat(directory.c_str(), &currentStatus_) == 0;
}

bool PathWalk::run(const std::string& path, std::string* offender) {
  pushNames(&pending_, path, nullptr);
  if (path.empty() || path.front() != '/') {
    char* workingDirectory = getcwd(nullptr, 0);
    std::string start = workingDirectory != nullptr ? workingDirectory : "";
    free(workingDirectory);
    if (start.empty() || start.front() != '/') return fail(".", offender);
    std::vector<Step> relative = std::move(pending_);
    pending_.clear();
    pushNames(&pending_, start, nullptr);
    pending_.insert(pending_.begin(), relative.begin(), relative.end());
  }
  if (!enter("/", "/")) return fail("/", offender);
  int linksLeft = linkLimit;
  while (!pending_.empty()) {
    Step step = std::move(pending_.back());
    pending_.pop_back();
    if (step.name == ".") continue;
    if (step.name == "..") {
      if (!enter(parentOf(current_), step.shown)) return fail(step.shown, offender);
      continue;
    }
    bool containerSafe = ownedByUserOrRoot(currentStatus_.st_uid) &&
                         (!writableByOthers(currentStatus_) || (currentStatus_.st_mode & S_ISVTX));
    if (!containerSafe) return fail(currentShown_, offender);
    std::string entry = join(current_, step.name);
    struct stat status;
    if (lstat(entry.c_str(), &status) != 0) return true;  // nothing further to trust yet
    // In a sticky directory that others may write, only the owner of an
    // entry can replace it.
    if (writableByOthers(currentStatus_) && !ownedByUserOrRoot(status.st_uid))
      return fail(step.shown, offender);
    if (S_ISLNK(status.st_mode)) {
      std::vector<char> target(status.st_size + 1);
      ssize_t length = readlink(entry.c_str(), target.data(), target.size());
      if (--linksLeft < 0 || length < 0 || static_cast<size_t>(length) >= target.size())
        return fail(step.shown, offender);
      std::string destination(target.data(), length);
      pushNames(&pending_, destination, &step.shown);
      if (!destination.empty() && destination.front() == '/' && !enter("/", step.shown))
        return fail(step.shown, offender);
      continue;
    }
    if (!S_ISDIR(status.st_mode)) return true;  // nothing can lie beyond a file
    current_ = entry;
    currentShown_ = step.shown;
    currentStatus_ = status;
  }
  if (!ownedByUserOrRoot(currentStatus_.st_uid) || writableByOthers(currentStatus_))
    return fail(currentShown_, offender);
  return true;
}

}  // namespace

bool ownedByUserOrRoot(uid_t owner) { return owner == 0 || owner == geteuid(); }

bool pathIsTrusted(const std::string& path, std::string* offender) {
  return PathWalk().run(path, offender);
}
