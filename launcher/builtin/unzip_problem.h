// How an unpacking ends: unzip's exit code, and what went wrong in words.
#pragma once

#include <string>

// Info-ZIP unzip's exit codes for what the launcher's unzip can meet.
enum class UnzipResult : int {
  unpacked = 0,
  warning = 1,       // all unpacked, yet the archive is odd (bytes before it, ...)
  damaged = 2,       // a member's data or headers are wrong (bad CRC, ...)
  badDirectory = 3,  // the central directory is damaged, or a name is refused
  notAnArchive = 9,  // missing, unreadable, or no end record
  badUsage = 10,
  overlapped = 12,   // parts of the archive lie on top of each other
  cannotWrite = 50,  // the disk refused a write, or something stands in the way
  unsupported = 81,  // a compression method, encryption or version it cannot do
};

// A failure (or a warning) of a step, as unzip would end on it: the default
// is success, so that `if (UnzipProblem problem = step()) return problem;`
// passes the first one up.
struct UnzipProblem {
  UnzipResult result = UnzipResult::unpacked;
  std::string member;  // empty when the archive as a whole is at fault
  std::string what;

  explicit operator bool() const { return result != UnzipResult::unpacked; }
};

inline UnzipProblem problemWith(UnzipResult result, std::string member, std::string what) {
  return {result, std::move(member), std::move(what)};
}
