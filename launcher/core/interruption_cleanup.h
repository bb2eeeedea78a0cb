// Makes an interrupted run leave nothing behind: SIGINT, SIGQUIT, SIGTERM or
// SIGHUP erases the status line, removes every path registered for removal
// (the scratch directory, a half-unpacked agent, a half-written cache file)
// and then ends the process by that same signal, so that the caller sees the
// interruption (a shell reports 128 + n). The removal happens in the handler
// itself, with async-signal-safe calls only and no allocation.
#pragma once

#include <string_view>

// While it lives, the four signals remove what RemovedOnInterruption names
// and end the process, and SIGPIPE and SIGXFSZ are ignored, so that a write
// to a closed standard error or past the file size limit fails as a write
// instead of ending the run before it has cleaned up. Signals that were
// ignored when the launcher started (nohup, background jobs) stay ignored.
// One per process.
class InterruptionCleanup {
 public:
  InterruptionCleanup();
  ~InterruptionCleanup();
  InterruptionCleanup(const InterruptionCleanup&) = delete;
  InterruptionCleanup& operator=(const InterruptionCleanup&) = delete;
};

// While it lives, an interruption also removes `path` (a file or a tree),
// made absolute against the working directory of the moment, so that the
// handler removes the same thing wherever the process works by then. The
// path is copied into storage of its own: registering never allocates.
class RemovedOnInterruption {
 public:
  explicit RemovedOnInterruption(std::string_view path);
  ~RemovedOnInterruption();
  RemovedOnInterruption(const RemovedOnInterruption&) = delete;
  RemovedOnInterruption& operator=(const RemovedOnInterruption&) = delete;

 private:
  int slot_ = -1;
};

// While it lives, the four interrupting signals are held back; one that
// arrives meanwhile takes effect when it ends. Around the making of a path
// and its registration, so that no signal between the two leaves it behind.
class InterruptionsHeld {
 public:
  InterruptionsHeld();
  ~InterruptionsHeld();
  InterruptionsHeld(const InterruptionsHeld&) = delete;
  InterruptionsHeld& operator=(const InterruptionsHeld&) = delete;
};

// While it lives (the agent is running and reads the bundle), a signal is
// held back, and SIGPIPE and SIGXFSZ are as the launcher found them, so that
// the agent gets the dispositions its caller gave. When it ends, a signal
// that arrived meanwhile takes effect as above, after the agent has finished
// with the scratch directory.
class AgentRunning {
 public:
  AgentRunning();
  ~AgentRunning();
  AgentRunning(const AgentRunning&) = delete;
  AgentRunning& operator=(const AgentRunning&) = delete;
};

// Removes what an interrupted run must not leave and ends the process by
// `signalNumber`. Does not return.
[[noreturn]] void endRunBy(int signalNumber);

// system() keeps SIGINT and SIGQUIT from the launcher while the agent runs,
// but Ctrl-C and Ctrl-\ at the terminal reach the whole process group: when
// one of them ended the agent's shell (raw status from runShellCommand), the
// user stopped the run, which then ends as if the launcher had the signal.
void endRunIfUserInterrupted(int rawStatus);
