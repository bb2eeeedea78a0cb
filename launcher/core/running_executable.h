// The installer file that this process runs from: its path, and the file
// itself, held open from the start so that a file renamed over the path
// later is never read in its place.
#pragma once

#include <string>

// The absolute path of the running executable: the target of
// /proc/self/exe, or, without /proc (a chroot or container), the name the
// program was started by (AT_EXECFN) resolved against the working directory
// at the start. Worked out once; empty when neither is known.
std::string executablePath();

// executablePath() up to its last "/" or "\", the separator excluded; the
// whole path when it holds neither; empty when the path is empty.
std::string executableDirectory();

// A read-only descriptor of the running executable, opened on the first call
// (from /proc/self/exe, else by executablePath()); -1 when it cannot be
// opened. Call it first thing in a run.
int runningExecutableDescriptor();
