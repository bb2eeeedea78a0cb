#include "payload/payload_extraction.h"

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "launcher/shell_command.h"
#include "payload/unzip_command.h"

std::string executablePath() {
  std::vector<char> buffer(1024);
  for (;;) {
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return "";
    // A target that fills the buffer may have been cut: try again larger.
    if (static_cast<size_t>(length) < buffer.size()) return std::string(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
}

std::string executableDirectory() {
  std::string path = executablePath();
  size_t separator = path.find_last_of("/\\");
  if (separator == std::string::npos) return path;
  return path.substr(0, separator);
}

namespace {

// The installer file as unzip is to be given it. Info-ZIP's unzip reads an
// archive name as a pattern and BusyBox's does not, so a name that holds a
// pattern character goes as /proc/PID/exe, the same file under a name that
// both read alike.
std::string installerArchivePath() {
  std::string path = executablePath();
  if (path.find_first_of("*?[") == std::string::npos) return path;
  return "/proc/" + std::to_string(getpid()) + "/exe";
}

}  // namespace

int extractPayload(const std::string& extractionDirectory) {
  std::string command =
      unzipCommandLine("unzip", "-qq", installerArchivePath(), extractionDirectory);
  int exitCode = shellExitCode(runUnzip(command));
  if (exitCode < 0 || exitCode > 1) return payloadExtractionFailed;

  std::string bundlePath = extractionDirectory + "/" + std::string(bundleFileName);
  struct stat status;
  if (stat(bundlePath.c_str(), &status) != 0) return payloadExtractionFailed;
  // With warnings, unzip may have left a member it could not unpack empty.
  if (exitCode == 1 && status.st_size == 0) return payloadExtractionFailed;
  return 0;
}
