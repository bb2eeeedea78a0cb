// One installation run from start to end.
#pragma once

#include "launcher/core/message_reporter.h"

// Unpacks the installer's bundle into a private scratch directory, obtains the
// install agent, runs it with the bundle and argv[1..], and removes the
// scratch directory on every way out. Returns 0 once the agent has run, -1
// after any failure of the launcher's own, whose lines go to `report`, the
// one place that tells the user; anything no step expected (memory running
// out) ends the run with the failure lines of the step it happened in.
int runLauncher(int argumentCount, const char* const* arguments, MessageReporter report);
