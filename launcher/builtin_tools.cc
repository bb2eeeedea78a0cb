#include "launcher/builtin_tools.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "builtin/zip_unpacking.h"
#include "launcher/message_reporter.h"
#include "launcher/running_executable.h"
#include "launcher/tree_removal.h"

namespace {

int exitStatus(int code) { return code << 8; }

// An option word made of the letters in `allowed` only, such as -qq or -rf.
bool isOptionOf(std::string_view word, std::string_view allowed) {
  return word.size() > 1 && word[0] == '-' && word != "--" &&
         word.find_first_not_of(allowed, 1) == std::string_view::npos;
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Tells the user what made an unpacking fail, in one line: the archive, the
// member when there is one, and the problem. A warning passes in silence.
UnzipResult reported(const UnzipProblem& problem, const std::string& archive) {
  if (problem.result > UnzipResult::warning) {
    std::string line = archive + ": ";
    if (!problem.member.empty()) line.append(problem.member).append(": ");
    reportToConsole(line + problem.what, true);
  }
  return problem.result;
}

UnzipResult unzipFile(const std::string& archive, const std::string& directory) {
  // The installer is read from the file that runs, not from what its name
  // holds by now.
  if (archive == executablePath() && runningExecutableDescriptor() >= 0)
    return reported(unpackZipArchive(runningExecutableDescriptor(), directory), archive);
  Descriptor file(open(archive.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0)
    return reported(problemWith(UnzipResult::notAnArchive, "", std::strerror(errno)), archive);
  return reported(unpackZipArchive(file.get(), directory), archive);
}

int unzip(const std::vector<std::string>& words) {
  size_t at = 1;
  while (at < words.size() && isOptionOf(words[at], "qo")) ++at;
  if (words.size() - at != 3 || words[at + 1] != "-d")
    return exitStatus(static_cast<int>(UnzipResult::badUsage));
  return exitStatus(static_cast<int>(unzipFile(words[at], words[at + 2])));
}

// rm refuses these, whatever the options say.
bool isProtected(std::string_view path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string_view::npos) return true;  // "/" or "//"
  std::string_view name = path.substr(0, end + 1);
  name = name.substr(name.find_last_of('/') + 1);  // npos + 1 == 0
  return name == "." || name == "..";
}

int remove(const std::vector<std::string>& words) {
  size_t at = 1;
  while (at < words.size() && isOptionOf(words[at], "rRf")) ++at;
  if (at < words.size() && words[at] == "--") ++at;
  for (; at < words.size(); ++at) {
    if (!isProtected(words[at])) removeTree(words[at].c_str());
  }
  return exitStatus(0);
}

}  // namespace

std::optional<int> runBuiltinTool(const std::vector<std::string>& words) {
  if (words.empty()) return std::nullopt;
  if (words[0] == "unzip") return unzip(words);
  if (words[0] == "rm") return remove(words);
  return std::nullopt;
}
