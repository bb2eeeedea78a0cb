// Runs outside tools through the shell, and quotes the pieces put into their
// command lines so that each reaches the tool as exactly one word.
#pragma once

#include <string>
#include <string_view>

// Runs the command line with system() and returns its raw status unchanged
// (-1, or a wait status). The tool shares the launcher's standard streams.
// A line longer than one exec string can hold is not run and gives -1: Linux
// would refuse it to the shell, and system() would report that as an exit
// status of 127, as if the command had run and failed.
int runShellCommand(const std::string& commandLine);

// Makes `text` one shell word holding exactly its bytes. A text with no
// character the shell treats specially comes back unchanged (the empty text
// too); one whose only special characters are blanks or tabs is put in double
// quotes; any other is put in single quotes, each ' written as '\''.
std::string quoteArgument(std::string_view text);

// `path` as no tool reads it as an option: one that begins with "-" gets "./"
// in front. Other paths keep their bytes.
std::string notAnOption(std::string_view path);

// quoteArgument(notAnOption(path)).
std::string quotePath(std::string_view path);

// `text` in single quotes, each embedded ' written as '\''.
std::string singleQuoted(std::string_view text);

// The exit code of a raw status from runShellCommand, or -1 when the shell
// did not exit normally (it could not start, or a signal ended it).
int shellExitCode(int rawStatus);
