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

int extractPayload(const std::string& extractionDirectory) {
  std::string command = unzipCommandLine("unzip", "-qq", executablePath(), extractionDirectory);
  int exitCode = shellExitCode(runUnzip(command));
  if (exitCode < 0 || exitCode > 1) return payloadExtractionFailed;

  std::string bundlePath = extractionDirectory + "/" + std::string(bundleFileName);
  struct stat status;
  if (stat(bundlePath.c_str(), &status) != 0) return payloadExtractionFailed;
  // With warnings, unzip may have left a member it could not unpack empty.
  if (exitCode == 1 && status.st_size == 0) return payloadExtractionFailed;
  return 0;
}
