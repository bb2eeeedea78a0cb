#include "launcher/core/running_executable.h"

#include <fcntl.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "launcher/core/paths.h"

namespace {

constexpr const char* selfLink = "/proc/self/exe";

std::string readSelfLink() {
  std::vector<char> buffer(1024);
  for (;;) {
    ssize_t length = readlink(selfLink, buffer.data(), buffer.size());
    if (length < 0) return "";
    // A target that fills the buffer may have been cut: try again larger.
    if (static_cast<size_t>(length) < buffer.size()) return std::string(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
}

std::string currentDirectory() {
  std::vector<char> buffer(1024);
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return "";
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

// The name the kernel was asked to run, made absolute.
std::string startedName() {
  const char* name = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
  if (name == nullptr || *name == '\0') return "";
  if (*name == '/') return name;
  std::string directory = currentDirectory();
  return directory.empty() ? "" : joinOnce(directory, name);
}

}  // namespace

std::string executablePath() {
  static const std::string path = [] {
    std::string target = readSelfLink();
    return target.empty() ? startedName() : target;
  }();
  return path;
}

std::string executableDirectory() { return directoryPart(executablePath()); }

int runningExecutableDescriptor() {
  static const int descriptor = [] {
    int opened = open(selfLink, O_RDONLY | O_CLOEXEC);
    if (opened < 0 && !executablePath().empty())
      opened = open(executablePath().c_str(), O_RDONLY | O_CLOEXEC);
    return opened;
  }();
  return descriptor;
}
