#include "payload/interruption_cleanup.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr int handledSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int signalCount = sizeof handledSignals / sizeof handledSignals[0];

// Everything the handler touches is prepared before it is installed, so that
// it makes only async-signal-safe calls.
std::string removalTarget;
const char* removalArguments[] = {"/bin/rm", "-rf", "--", nullptr, nullptr};
char* const noEnvironment[] = {nullptr};
struct sigaction previousActions[signalCount];
bool wasIgnored[signalCount];
volatile sig_atomic_t deferring = 0;
volatile sig_atomic_t pendingSignal = 0;

void removeScratchAndEndBy(int signalNumber) {
  pid_t child = fork();
  if (child == 0) {
    execve(removalArguments[0], const_cast<char* const*>(removalArguments), noEnvironment);
    _exit(127);
  }
  if (child > 0) {
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  struct sigaction byDefault = {};
  byDefault.sa_handler = SIG_DFL;
  sigaction(signalNumber, &byDefault, nullptr);
  sigset_t signalOnly;
  sigemptyset(&signalOnly);
  sigaddset(&signalOnly, signalNumber);
  raise(signalNumber);
  sigprocmask(SIG_UNBLOCK, &signalOnly, nullptr);  // delivered here: the process ends
}

void onInterruption(int signalNumber) {
  if (deferring) {
    pendingSignal = signalNumber;
    return;
  }
  removeScratchAndEndBy(signalNumber);
}

}  // namespace

InterruptionCleanup::InterruptionCleanup(const std::string& directory) {
  if (directory.empty()) return;
  removalTarget = directory;
  removalArguments[3] = removalTarget.c_str();
  struct sigaction action = {};
  action.sa_handler = onInterruption;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int signalNumber : handledSignals) sigaddset(&action.sa_mask, signalNumber);
  for (int i = 0; i < signalCount; ++i) {
    sigaction(handledSignals[i], nullptr, &previousActions[i]);
    wasIgnored[i] = previousActions[i].sa_handler == SIG_IGN;
    if (!wasIgnored[i]) sigaction(handledSignals[i], &action, nullptr);
  }
  installed_ = true;
}

InterruptionCleanup::~InterruptionCleanup() {
  if (!installed_) return;
  for (int i = 0; i < signalCount; ++i) {
    if (!wasIgnored[i]) sigaction(handledSignals[i], &previousActions[i], nullptr);
  }
}

DeferredInterruptions::DeferredInterruptions() { deferring = 1; }

DeferredInterruptions::~DeferredInterruptions() {
  deferring = 0;
  if (pendingSignal != 0) removeScratchAndEndBy(pendingSignal);
}
