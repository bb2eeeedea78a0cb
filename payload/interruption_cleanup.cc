#include "payload/interruption_cleanup.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "launcher/shell_command.h"

namespace {

constexpr int handledSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int signalCount = sizeof handledSignals / sizeof handledSignals[0];

// Everything the handler touches is prepared before it can read it, so that
// it makes only async-signal-safe calls.
std::string scratchPath, extraPath;
const char* volatile scratchTarget = nullptr;
const char* volatile extraTarget = nullptr;
char* const noEnvironment[] = {nullptr};
struct sigaction previousActions[signalCount];
bool wasIgnored[signalCount];
volatile sig_atomic_t deferring = 0;
volatile sig_atomic_t pendingSignal = 0;

}  // namespace

void endRunBy(int signalNumber) {
  const char* arguments[] = {"/bin/rm", "-rf", "--", nullptr, nullptr, nullptr};
  int count = 3;
  if (scratchTarget != nullptr) arguments[count++] = scratchTarget;
  if (extraTarget != nullptr) arguments[count++] = extraTarget;
  // _Fork, unlike fork, takes no lock that the interrupted code may hold.
  pid_t child = count > 3 ? _Fork() : -1;
  if (child == 0) {
    execve(arguments[0], const_cast<char* const*>(arguments), noEnvironment);
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
  _exit(128 + signalNumber);                       // not reached
}

namespace {

void onInterruption(int signalNumber) {
  if (deferring) {
    pendingSignal = signalNumber;
    return;
  }
  endRunBy(signalNumber);
}

}  // namespace

InterruptionCleanup::InterruptionCleanup(const std::string& directory) {
  if (!directory.empty()) {
    scratchPath = directory;
    std::atomic_signal_fence(std::memory_order_release);
    scratchTarget = scratchPath.c_str();
  }
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
  scratchTarget = nullptr;
}

AlsoRemovedOnInterruption::AlsoRemovedOnInterruption(const std::string& path) {
  extraPath = path;
  std::atomic_signal_fence(std::memory_order_release);
  extraTarget = extraPath.c_str();
}

AlsoRemovedOnInterruption::~AlsoRemovedOnInterruption() { extraTarget = nullptr; }

DeferredInterruptions::DeferredInterruptions() { deferring = 1; }

DeferredInterruptions::~DeferredInterruptions() {
  deferring = 0;
  if (pendingSignal != 0) endRunBy(pendingSignal);
}

void endRunIfUserInterrupted(int rawStatus) {
  if (rawStatus == -1 || !WIFSIGNALED(rawStatus)) return;
  int signalNumber = WTERMSIG(rawStatus);
  if (signalNumber == SIGINT || signalNumber == SIGQUIT) endRunBy(signalNumber);
}

int runTool(const std::string& commandLine) {
  int rawStatus = runShellCommand(commandLine);
  endRunIfUserInterrupted(rawStatus);
  return rawStatus;
}
