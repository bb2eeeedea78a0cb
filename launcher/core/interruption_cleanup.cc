#include "launcher/core/interruption_cleanup.h"

#include <limits.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "launcher/builtin/tree_removal.h"
#include "launcher/core/status_line.h"

namespace {

constexpr int handledSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
constexpr int signalCount = sizeof handledSignals / sizeof handledSignals[0];
// Signals that would end the run for a failed write; the agent gets them back.
constexpr int writeSignals[] = {SIGPIPE, SIGXFSZ};
constexpr int writeSignalCount = sizeof writeSignals / sizeof writeSignals[0];

// At most this many paths are registered at once: the scratch directory, a
// staging directory, an old agent set aside and a cache file being written.
constexpr int slotCount = 8;

// Everything the handler reads is in place before it can read it: a slot's
// path is written whole before the slot is marked in use.
char slotPaths[slotCount][PATH_MAX];
volatile sig_atomic_t slotInUse[slotCount];

struct sigaction previousActions[signalCount];
struct sigaction previousWriteActions[writeSignalCount];
bool wasIgnored[signalCount];
volatile sig_atomic_t deferring = 0;
volatile sig_atomic_t pendingSignal = 0;

void setAction(int signalNumber, void (*handler)(int)) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(signalNumber, &action, nullptr);
}

void handledSignalSet(sigset_t* set) {
  sigemptyset(set);
  for (int signalNumber : handledSignals) sigaddset(set, signalNumber);
}

void ignoreWriteSignals() {
  for (int signalNumber : writeSignals) setAction(signalNumber, SIG_IGN);
}

void restoreWriteSignals() {
  for (int i = 0; i < writeSignalCount; ++i)
    sigaction(writeSignals[i], &previousWriteActions[i], nullptr);
}

// `path`, absolute, into `buffer`; false when it does not fit.
bool absolutePath(std::string_view path, char (&buffer)[PATH_MAX]) {
  size_t used = 0;
  if (path.empty() || path.front() != '/') {
    if (getcwd(buffer, sizeof buffer) == nullptr) return false;
    used = std::strlen(buffer);
    if (used > 1) buffer[used++] = '/';
  }
  if (used + path.size() >= sizeof buffer) return false;
  std::memcpy(buffer + used, path.data(), path.size());
  buffer[used + path.size()] = '\0';
  return true;
}

}  // namespace

void endRunBy(int signalNumber) {
  eraseStatusFromHandler();
  for (int slot = 0; slot < slotCount; ++slot)
    if (slotInUse[slot]) removeTree(slotPaths[slot]);
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

InterruptionCleanup::InterruptionCleanup() {
  struct sigaction action = {};
  action.sa_handler = onInterruption;
  action.sa_flags = SA_RESTART;
  handledSignalSet(&action.sa_mask);
  for (int i = 0; i < signalCount; ++i) {
    sigaction(handledSignals[i], nullptr, &previousActions[i]);
    wasIgnored[i] = previousActions[i].sa_handler == SIG_IGN;
    if (!wasIgnored[i]) sigaction(handledSignals[i], &action, nullptr);
  }
  for (int i = 0; i < writeSignalCount; ++i)
    sigaction(writeSignals[i], nullptr, &previousWriteActions[i]);
  ignoreWriteSignals();
}

InterruptionCleanup::~InterruptionCleanup() {
  for (int i = 0; i < signalCount; ++i) {
    if (!wasIgnored[i]) sigaction(handledSignals[i], &previousActions[i], nullptr);
  }
  restoreWriteSignals();
}

RemovedOnInterruption::RemovedOnInterruption(std::string_view path) {
  for (int slot = 0; slot < slotCount; ++slot) {
    if (slotInUse[slot]) continue;
    if (!absolutePath(path, slotPaths[slot])) return;
    std::atomic_signal_fence(std::memory_order_release);
    slotInUse[slot] = 1;
    slot_ = slot;
    return;
  }
}

RemovedOnInterruption::~RemovedOnInterruption() {
  if (slot_ >= 0) slotInUse[slot_] = 0;
}

InterruptionsHeld::InterruptionsHeld() {
  sigset_t held;
  handledSignalSet(&held);
  sigprocmask(SIG_BLOCK, &held, nullptr);
}

InterruptionsHeld::~InterruptionsHeld() {
  int error = errno;  // what the held work failed with stays for its caller
  sigset_t held;
  handledSignalSet(&held);
  sigprocmask(SIG_UNBLOCK, &held, nullptr);
  errno = error;
}

AgentRunning::AgentRunning() {
  deferring = 1;
  restoreWriteSignals();
}

AgentRunning::~AgentRunning() {
  ignoreWriteSignals();
  deferring = 0;
  if (pendingSignal != 0) endRunBy(pendingSignal);
}

void endRunIfUserInterrupted(int rawStatus) {
  if (rawStatus == -1 || !WIFSIGNALED(rawStatus)) return;
  int signalNumber = WTERMSIG(rawStatus);
  if (signalNumber == SIGINT || signalNumber == SIGQUIT) endRunBy(signalNumber);
}
