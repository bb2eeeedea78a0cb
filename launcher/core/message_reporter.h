// The one channel through which the launcher tells the user anything: one
// complete line at a time, on standard error.
#pragma once

#include <string_view>

#include "launcher/core/failure.h"

// Receives a complete message, without a line end of its own. Reporting
// never changes the caller's course.
using MessageReporter = void (*)(std::string_view message);

// Writes the message whole, NUL bytes included, as one line on standard
// error and flushes, so that it appears before anything a tool started
// afterwards prints there. A status line that is showing is erased first,
// so the message stands alone on its line. Plain stdio: the launcher
// carries none of the iostream machinery.
void reportToConsole(std::string_view message);

// Reports each line of `failure`, in order.
void reportFailure(const Failure& failure, MessageReporter report);
