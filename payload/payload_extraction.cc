#include "payload/payload_extraction.h"

#include <sys/stat.h>

#include "launcher/core/build_constants.h"
#include "launcher/core/paths.h"
#include "launcher/core/running_executable.h"
#include "launcher/core/shell_command.h"
#include "launcher/core/tool_commands.h"

namespace {

Failure payloadFailed(const std::string& complaint) {
  Failure failure;
  if (!complaint.empty()) failure = Failure(complaint);
  return std::move(failure).then(std::string(payloadFailedMessage));
}

}  // namespace

Failure extractPayload(const std::string& extractionDirectory) {
  ToolOutcome outcome =
      runShellCommand(unzipCommandLine("-qq", executablePath(), extractionDirectory));
  int exitCode = shellExitCode(outcome.rawStatus);
  if (exitCode < 0 || exitCode > 1) return payloadFailed(outcome.complaint);

  std::string bundlePath = joinAlways(extractionDirectory, bundleFileName);
  struct stat status;
  if (stat(bundlePath.c_str(), &status) != 0) return payloadFailed("");
  if (exitCode == 1 && status.st_size == 0) return payloadFailed("");
  return {};
}
