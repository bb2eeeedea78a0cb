// The one line of status that the launcher keeps on standard error while it
// works. It is meant for a person: when standard error is not a terminal (a
// pipe, a file, a log), nothing is ever written.
#pragma once

#include <string_view>

// True when standard error is a terminal, where a status line can be seen.
bool statusLineWanted();

// Draws `text` (one line, no line end) over the status line, when standard
// error is a terminal.
void showStatus(std::string_view text);

// Erases the status line when one is showing, leaving the cursor at the start
// of the empty line, so that whatever follows shows as if none had been drawn.
void clearStatus();
