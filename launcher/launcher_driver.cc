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

// The steps of a run, each with the lines that tell the user it failed.
enum class Step { payload, agent, launch };

constexpr std::string_view payloadFailedMessage =
    "Internal error: Failed to initialize application installer (201)";
constexpr std::string_view agentFailedMessage = "Failed to initialize the install agent.";

bool inTestMode() { return std::getenv(testModeVariable) != nullptr; }

// Where a scratch directory goes when /tmp cannot take one: a private
// directory beside the installer, so that nothing lying there can pass for
// the installer's own files. Test mode unpacks beside the installer anyway.
std::string scratchFallbackParent() { return inTestMode() ? "" : executableDirectory(); }

// The run itself; `step` follows it, so that whatever it did not expect can
// be told as the failure of the step it happened in.
int runSteps(int argumentCount, const char* const* arguments, MessageReporter report, Step* step) {
  runningExecutableDescriptor();  // the file that runs, before anything can replace it
  ScratchDirectory scratch(scratchFallbackParent());
  // Outside test mode only a private directory will do: the installer's own
  // folder may hold anyone's files, and a shared one anyone's planted ones.
  std::string extractionDirectory = inTestMode() ? executableDirectory() : scratch.path();
  if (extractionDirectory.empty() && !inTestMode()) {
    report(scratch.failure(), true);
    report(payloadFailedMessage, true);
    return -1;
  }

  showStatus("Preparing the installer…");
  int extractionCode = extractPayload(extractionDirectory);
  if (extractionCode != 0) {
    report("Internal error: Failed to initialize application installer (" +
               std::to_string(extractionCode) + ")",
           true);
    return -1;
  }

  *step = Step::agent;
  // Holds the agent as it is until the run ends.
  ReadyAgent agent = initializeInstallAgent(extractionDirectory, report);
  if (agent.startScript.empty()) return -1;

  *step = Step::launch;
  clearStatus();  // the agent has the terminal to itself
  std::string commandHead = "sh " + quotePath(agent.startScript);
  if (!launchAgent(agent.startScript, commandHead, extractionDirectory, argumentCount, arguments,
                   report)) {
    report(agentStartFailedMessage, true);  // launchAgent said it once already
    return -1;
  }
  return 0;
}

}  // namespace

int runLauncher(int argumentCount, const char* const* arguments, MessageReporter report) {
  Step step = Step::payload;
  try {
    return runSteps(argumentCount, arguments, report, &step);
  } catch (...) {
    // Memory ran out, or something else no step expected; the scratch
    // directory is gone by now. The lines are constants: telling the user
    // must not need the memory that just ran out.
    switch (step) {
      case Step::payload:
        report(payloadFailedMessage, true);
        break;
      case Step::agent:
        report(agentFailedMessage, true);
        break;
      case Step::launch:
        report(agentStartFailedMessage, true);
        report(agentStartFailedMessage, true);
        break;
    }
    return -1;
  }
}
