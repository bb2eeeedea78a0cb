#include "payload/interruption_cleanup.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

#include "launcher/status_line.h"
#include "launcher/tree_removal.h"

namespace {

constexpr int handledSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
constexpr int signalCount = sizeof handledSignals / sizeof handledSignals[0];

// Everything the handler touches is prepared before it can read it, so that
// it makes only async-signal-safe calls.
std::string scratchPath, extraPath;
const char* volatile scratchTarget = nullptr;
const char* volatile extraTarget = nullptr;
struct sigaction previousActions[signalCount];
struct sigaction previousBrokenPipeAction;
bool wasIgnored[signalCount];
volatile sig_atomic_t deferring = 0;
volatile sig_atomic_t pendingSignal = 0;

void setAction(int signalNumber, void (*handler)(int)) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(signalNumber, &action, nullptr);
}

}  // namespace

void endRunBy(int signalNumber) {
  eraseStatusFromHandler();
  removeTree(scratchTarget);
  removeTree(extraTarget);
  setAction(signalNumber, SIG_DFL);
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
  sigaction(SIGPIPE, nullptr, &previousBrokenPipeAction);
  setAction(SIGPIPE, SIG_IGN);
}

InterruptionCleanup::~InterruptionCleanup() {
  for (int i = 0; i < signalCount; ++i) {
    if (!wasIgnored[i]) sigaction(handledSignals[i], &previousActions[i], nullptr);
  }
  sigaction(SIGPIPE, &previousBrokenPipeAction, nullptr);
  scratchTarget = nullptr;
}

AlsoRemovedOnInterruption::AlsoRemovedOnInterruption(const std::string& path) {
  extraPath = path;
  std::atomic_signal_fence(std::memory_order_release);
  extraTarget = extraPath.c_str();
}

AlsoRemovedOnInterruption::~AlsoRemovedOnInterruption() { extraTarget = nullptr; }

AgentRunning::AgentRunning() {
  deferring = 1;
  sigaction(SIGPIPE, &previousBrokenPipeAction, nullptr);
}

AgentRunning::~AgentRunning() {
  setAction(SIGPIPE, SIG_IGN);
  deferring = 0;
  if (pendingSignal != 0) endRunBy(pendingSignal);
}

void endRunIfUserInterrupted(int rawStatus) {
  if (rawStatus == -1 || !WIFSIGNALED(rawStatus)) return;
  int signalNumber = WTERMSIG(rawStatus);
  if (signalNumber == SIGINT || signalNumber == SIGQUIT) endRunBy(signalNumber);
}
