// One installation run from start to end.
#pragma once

#include "launcher/message_reporter.h"

// Unpacks the installer's bundle into a private scratch directory, obtains the
// install agent, runs it with the bundle and argv[1..], and removes the
// scratch directory on every way out. Returns 0 once the agent has run, -1
// after any failure of the launcher's own (each reported where it was found).
int runLauncher(int argumentCount, const char* const* arguments, MessageReporter report);
