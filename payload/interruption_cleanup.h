// Makes an interrupted run leave nothing behind: SIGINT, SIGTERM or SIGHUP
// removes the scratch directory and then ends the process by that same
// signal, so that the caller sees the interruption (a shell reports 128 + n).
#pragma once

#include <string>

// While it lives, the three signals remove `directory` and end the process.
// Signals that were ignored when the launcher started (nohup, background
// jobs) stay ignored. One per process; an empty directory installs nothing.
class InterruptionCleanup {
 public:
  explicit InterruptionCleanup(const std::string& directory);
  ~InterruptionCleanup();
  InterruptionCleanup(const InterruptionCleanup&) = delete;
  InterruptionCleanup& operator=(const InterruptionCleanup&) = delete;

 private:
  bool installed_ = false;
};

// While it lives (the agent is running and reads the bundle), a signal is
// held back; when it ends, a signal that arrived meanwhile takes effect as
// above, after the agent has finished with the scratch directory.
class DeferredInterruptions {
 public:
  DeferredInterruptions();
  ~DeferredInterruptions();
  DeferredInterruptions(const DeferredInterruptions&) = delete;
  DeferredInterruptions& operator=(const DeferredInterruptions&) = delete;
};
