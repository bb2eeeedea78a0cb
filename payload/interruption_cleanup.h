// Makes an interrupted run leave nothing behind: SIGINT, SIGTERM or SIGHUP
// removes the scratch directory and then ends the process by that same
// signal, so that the caller sees the interruption (a shell reports 128 + n).
#pragma once

#include <string>

// While it lives, the three signals remove `directory` (and whatever
// AlsoRemovedOnInterruption names) and end the process. Signals that were
// ignored when the launcher started (nohup, background jobs) stay ignored.
// One per process; with an empty directory only the named paths go.
class InterruptionCleanup {
 public:
  explicit InterruptionCleanup(const std::string& directory);
  ~InterruptionCleanup();
  InterruptionCleanup(const InterruptionCleanup&) = delete;
  InterruptionCleanup& operator=(const InterruptionCleanup&) = delete;

 private:
  bool installed_ = false;
};

// While it lives, an interruption also removes `path`: something that must
// not outlive a step cut short, such as the record that a half-unpacked agent
// is current.
class AlsoRemovedOnInterruption {
 public:
  explicit AlsoRemovedOnInterruption(const std::string& path);
  ~AlsoRemovedOnInterruption();
  AlsoRemovedOnInterruption(const AlsoRemovedOnInterruption&) = delete;
  AlsoRemovedOnInterruption& operator=(const AlsoRemovedOnInterruption&) = delete;
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

// Removes what an interrupted run must not leave and ends the process by
// `signalNumber`. Does not return.
[[noreturn]] void endRunBy(int signalNumber);

// system() keeps SIGINT and SIGQUIT from the launcher while a command runs,
// but Ctrl-C and Ctrl-\ at the terminal reach the whole process group: when
// one of them ended the command's shell (raw status from runShellCommand),
// the user stopped the run, which then ends as if the launcher had the signal.
void endRunIfUserInterrupted(int rawStatus);

// Runs an outside tool with runShellCommand and returns its raw status, after
// endRunIfUserInterrupted().
int runTool(const std::string& commandLine);
