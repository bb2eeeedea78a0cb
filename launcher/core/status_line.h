// The one line of status that the launcher keeps on standard error while it
// works. It is meant for a person at a terminal that understands escape
// sequences: when standard error is not a terminal (a pipe, a file, a log),
// or TERM is unset or "dumb", nothing is ever written.
#pragma once

#include <string_view>

// True when standard error is a terminal where a status line can be drawn.
bool statusLineWanted();

// Draws `text` (one line, no line end) over the status line, cut to one
// column less than the terminal's width (asked anew each time, 80 when the
// terminal does not say), so that it never wraps.
void showStatus(std::string_view text);

// Erases the status line when one is showing, leaving the cursor at the start
// of the empty line, so that whatever follows shows as if none had been drawn.
void clearStatus();

// clearStatus() with async-signal-safe calls only, for a signal handler.
void eraseStatusFromHandler();
