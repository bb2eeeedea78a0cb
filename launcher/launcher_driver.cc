#include "launcher/launcher_driver.h"

#include <csignal>
#include <cstdlib>
#include <string>

#include "agent/agent_cache.h"
#include "agent/agent_launch.h"
#include "launcher/core/build_constants.h"
#include "launcher/core/running_executable.h"
#include "launcher/core/shell_command.h"
#include "launcher/core/status_line.h"
#include "payload/payload_extraction.h"
#include "payload/scratch_directory.h"

namespace {

// The steps of a run, each with the lines that tell the user it failed.
enum class Step { payload, agent, launch };

bool inTestMode() { return std::getenv(testModeVariable) != nullptr; }

// A failure is told once the run has cleaned up: a closed standard error
// must not turn its 255 into a death by signal.
void ignoreBrokenPipe() { std::signal(SIGPIPE, SIG_IGN); }

// Where a scratch directory goes when /tmp cannot take one: a private
// directory beside the installer, so that nothing lying there can pass for
// the installer's own files. Test mode unpacks beside the installer anyway.
std::string scratchFallbackParent() { return inTestMode() ? "" : executableDirectory(); }

// The run itself; `step` follows it, so that whatever it did not expect can
// be told as the failure of the step it happened in.
Failure runSteps(int argumentCount, const char* const* arguments, Step* step) {
  runningExecutableDescriptor();  // the file that runs, before anything can replace it
  ScratchDirectory scratch(scratchFallbackParent());
  // Outside test mode only a private directory will do: the installer's own
  // folder may hold anyone's files, and a shared one anyone's planted ones.
  std::string extractionDirectory = inTestMode() ? executableDirectory() : scratch.path();
  if (extractionDirectory.empty() && !inTestMode())
    return Failure(scratch.failure()).then(std::string(payloadFailedMessage));

  showStatus("Preparing the installer…");
  if (Failure failure = extractPayload(extractionDirectory)) return failure;

  *step = Step::agent;
  ReadyAgent agent;  // holds the agent as it is until the run ends
  if (Failure failure = initializeInstallAgent(extractionDirectory, &agent)) return failure;

  *step = Step::launch;
  clearStatus();  // the agent has the terminal to itself
  std::string commandHead = "sh " + quotePath(agent.startScript);
  // The driver says it once more after the launch's own word.
  if (Failure failure = launchAgent(agent.startScript, commandHead, extractionDirectory,
                                    argumentCount, arguments))
    return std::move(failure).then(std::string(agentStartFailedMessage));
  return {};
}

}  // namespace

int runLauncher(int argumentCount, const char* const* arguments, MessageReporter report) {
  Step step = Step::payload;
  try {
    Failure failure = runSteps(argumentCount, arguments, &step);
    if (!failure) return 0;
    ignoreBrokenPipe();
    reportFailure(failure, report);
    return -1;
  } catch (...) {
    ignoreBrokenPipe();
    // Memory ran out, or something else no step expected; the scratch
    // directory is gone by now. The lines are constants: telling the user
    // must not need the memory that just ran out.
    switch (step) {
      case Step::payload:
        report(payloadFailedMessage);
        break;
      case Step::agent:
        report(agentFailedMessage);
        break;
      case Step::launch:
        report(agentStartFailedMessage);
        report(agentStartFailedMessage);
        break;
    }
    return -1;
  }
}
