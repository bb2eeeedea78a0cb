#include "launcher/launcher_driver.h"

#include <cstdlib>
#include <string>

#include "agent/agent_cache.h"
#include "agent/agent_launch.h"
#include "launcher/build_constants.h"
#include "launcher/running_executable.h"
#include "launcher/shell_command.h"
#include "launcher/status_line.h"
#include "payload/payload_extraction.h"
#include "payload/scratch_directory.h"

namespace {

bool inTestMode() { return std::getenv(testModeVariable) != nullptr; }

// Where a scratch directory goes when /tmp cannot take one: beside the
// installer, so that nothing lying there can pass for the installer's own
// files. Test mode unpacks beside the installer anyway.
std::string scratchFallbackParent() { return inTestMode() ? "" : executableDirectory(); }

// The scratch directory, or the executable's own directory when none could be
// made or when the launcher runs in test mode.
std::string chooseExtractionDirectory(const ScratchDirectory& scratch) {
  std::string directory = scratch.path();
  if (directory.empty() || inTestMode()) directory = executableDirectory();
  return directory;
}

}  // namespace

int runLauncher(int argumentCount, const char* const* arguments, MessageReporter report) {
  runningExecutableDescriptor();  // the file that runs, before anything can replace it
  ScratchDirectory scratch(scratchFallbackParent());
  std::string extractionDirectory = chooseExtractionDirectory(scratch);

  showStatus("Preparing the installer…");
  int extractionCode = extractPayload(extractionDirectory);
  if (extractionCode != 0) {
    report("Internal error: Failed to initialize application installer (" +
               std::to_string(extractionCode) + ")",
           true);
    return -1;
  }

  std::string agentStartScript = initializeInstallAgent(extractionDirectory, report);
  if (agentStartScript.empty()) return -1;

  clearStatus();  // the agent has the terminal to itself
  std::string commandHead = "sh " + quotePath(agentStartScript);
  if (!launchAgent(agentStartScript, commandHead, extractionDirectory, argumentCount, arguments,
                   report)) {
    report(agentStartFailedMessage, true);  // launchAgent said it once already
    return -1;
  }
  return 0;
}
