#include "agent/trusted_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "launcher/core/paths.h"

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

// Where the walk stands after one name: further on, or at its verdict.
enum class Outcome { goOn, trusted, refused };

// The walk down a path, one real directory at a time.
class PathWalk {
 public:
  bool run(const std::string& path, std::string* offender);

 private:
  bool start(const std::string& path);
  Outcome take(const Step& step);
  Outcome followLink(const std::string& link, const struct stat& status, const Step& step);
  bool enter(const std::string& directory, const std::string& shown) {
    current_ = directory;
    currentShown_ = shown;
    return lstat(directory.c_str(), &currentStatus_) == 0;
  }
  Outcome refuse(const std::string& shown) {
    offender_ = shown;
    return Outcome::refused;
  }

  std::vector<Step> pending_;  // the next name to look up is at the back
  std::string current_, currentShown_, offender_;
  struct stat currentStatus_ {};
  int linksLeft_ = linkLimit;
};

bool PathWalk::run(const std::string& path, std::string* offender) {
  Outcome outcome = start(path) ? Outcome::goOn : refuse(".");
  while (outcome == Outcome::goOn && !pending_.empty()) {
    Step step = std::move(pending_.back());
    pending_.pop_back();
    outcome = take(step);
  }
  // The path itself, when it exists, must be closed even to a sticky bit.
  if (outcome == Outcome::goOn)
    outcome = ownedByUserOrRoot(currentStatus_.st_uid) && !writableByOthers(currentStatus_)
                  ? Outcome::trusted
                  : refuse(currentShown_);
  *offender = offender_;
  return outcome == Outcome::trusted;
}

// Queues the names of `path`, after those of the working directory for a
// relative one, and stands at "/".
bool PathWalk::start(const std::string& path) {
  pushNames(&pending_, path, nullptr);
  if (path.empty() || path.front() != '/') {
    char* workingDirectory = getcwd(nullptr, 0);
    std::string here = workingDirectory != nullptr ? workingDirectory : "";
    free(workingDirectory);
    if (here.empty() || here.front() != '/') return false;
    std::vector<Step> relative = std::move(pending_);
    pending_.clear();
    pushNames(&pending_, here, nullptr);
    pending_.insert(pending_.begin(), relative.begin(), relative.end());
  }
  return enter("/", "/");
}

Outcome PathWalk::take(const Step& step) {
  if (step.name == ".") return Outcome::goOn;
  if (step.name == "..")
    return enter(parentDirectory(current_), step.shown) ? Outcome::goOn : refuse(step.shown);
  bool closed = !writableByOthers(currentStatus_) || (currentStatus_.st_mode & S_ISVTX);
  if (!ownedByUserOrRoot(currentStatus_.st_uid) || !closed) return refuse(currentShown_);
  std::string entry = joinOnce(current_, step.name);
  struct stat status;
  if (lstat(entry.c_str(), &status) != 0) return Outcome::trusted;  // nothing further yet
  // In a sticky directory that others may write, only an entry's owner can
  // replace it.
  if (writableByOthers(currentStatus_) && !ownedByUserOrRoot(status.st_uid))
    return refuse(step.shown);
  if (S_ISLNK(status.st_mode)) return followLink(entry, status, step);
  if (!S_ISDIR(status.st_mode)) return Outcome::trusted;  // nothing lies beyond a file
  current_ = entry;
  currentShown_ = step.shown;
  currentStatus_ = status;
  return Outcome::goOn;
}

// Queues the names of the link's target, shown as the link itself.
Outcome PathWalk::followLink(const std::string& link, const struct stat& status, const Step& step) {
  std::vector<char> target(status.st_size + 1);
  ssize_t length = readlink(link.c_str(), target.data(), target.size());
  if (--linksLeft_ < 0 || length <= 0 || static_cast<size_t>(length) >= target.size())
    return refuse(step.shown);
  std::string destination(target.data(), length);
  pushNames(&pending_, destination, &step.shown);
  if (destination.front() == '/' && !enter("/", step.shown)) return refuse(step.shown);
  return Outcome::goOn;
}

}  // namespace

bool ownedByUserOrRoot(uid_t owner) { return owner == 0 || owner == geteuid(); }

bool pathIsTrusted(const std::string& path, std::string* offender) {
  return PathWalk().run(path, offender);
}
