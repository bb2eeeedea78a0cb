// The one channel through which the launcher tells the user anything.
#pragma once

#include <string_view>

// Receives a complete message (without a line end of its own) and whether it
// reports a failure. Reporting never changes the caller's course.
using MessageReporter = void (*)(std::string_view message, bool isError);

// Writes the message whole, NUL bytes included, as one line on standard error
// (standard output when isError is false) and flushes, so that it appears
// before anything a tool started afterwards prints on the same stream. A
// status line that is showing is erased first, so the message stands alone
// on its line. Plain
// stdio: the launcher carries none of the iostream machinery.
void reportToConsole(std::string_view message, bool isError);
