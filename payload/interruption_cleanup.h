// Makes an interrupted run leave nothing behind: SIGINT, SIGQUIT, SIGTERM or
// SIGHUP erases the status line, removes the scratch directory and then ends
// the process by that same signal, so that the caller sees the interruption
// (a shell reports 128 + n). The removal happens in the handler itself, with
// async-signal-safe calls only.
#pragma once

#include <string>

// While it lives, the four signals remove `directory` (and whatever
// AlsoRemovedOnInterruption names) and end the process, and SIGPIPE is
// ignored, so that a write to a closed standard error cannot end the run
// before it has cleaned up. Signals that were ignored when the launcher
// started (nohup, background jobs) stay ignored. One per process; with an
// empty directory only the named paths go.
class InterruptionCleanup {
 public:
  explicit InterruptionCleanup(const std::string& directory);
  ~InterruptionCleanup();
  InterruptionCleanup(const InterruptionCleanup&) = delete;
  InterruptionCleanup& operator=(const InterruptionCleanup&) = delete;
};

// While it lives, an interruption also removes `path`: something that must
// not outlive a step cut short, such as a half-unpacked agent.
class AlsoRemovedOnInterruption {
 public:
  explicit AlsoRemovedOnInterruption(const std::string& path);
  ~AlsoRemovedOnInterruption();
  AlsoRemovedOnInterruption(const AlsoRemovedOnInterruption&) = delete;
  AlsoRemovedOnInterruption& operator=(const AlsoRemovedOnInterruption&) = delete;
};

// While it lives (the agent is running and reads the bundle), a signal is
// held back, and SIGPIPE is as the launcher found it, so that the agent gets
// the disposition its caller gave. When it ends, a signal that arrived
// meanwhile takes effect as above, after the agent has finished with the
// scratch directory.
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
