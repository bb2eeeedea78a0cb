#include "payload/payload_extraction.h"

#include <sys/stat.h>

#include "launcher/shell_command.h"
#include "payload/unzip_command.h"
#include "launcher/path_join.h"

std::string payloadCommandLine(const std::string& extractionDirectory) {
  return unzipCommandLine("unzip", "-qq", executablePath(), extractionDirectory);
}

int extractPayload(const std::string& extractionDirectory) {
  int exitCode = shellExitCode(runShellCommand(payloadCommandLine(extractionDirectory)));
  if (exitCode < 0 || exitCode > 1) return payloadExtractionFailed;

  std::string bundlePath = joinAlways(extractionDirectory, bundleFileName);
  struct stat status;
  if (stat(bundlePath.c_str(), &status) != 0) return payloadExtractionFailed;
  if (exitCode == 1 && status.st_size == 0) return payloadExtractionFailed;
  return 0;
}
