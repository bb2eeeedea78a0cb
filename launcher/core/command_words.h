// Splits a command line into the words a POSIX shell would hand the command,
// for the lines the launcher composes itself: blanks and tabs separate words,
// double and single quotes group them, a backslash outside quotes takes the
// next character literally.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The words of `line`, or nothing when the line holds anything that a shell
// would expand, redirect or treat as a separator (an unquoted $, *, ;, ...),
// or a quote that is never closed: such a line is not one the launcher
// composed, and carrying it out differently from a shell would be unsafe.
std::optional<std::vector<std::string>> splitCommandWords(std::string_view line);
