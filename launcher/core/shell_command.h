// Runs the launcher's command lines, and quotes the pieces put into them so
// that each reaches the command as exactly one word.
#pragma once

#include <string>
#include <string_view>

#include "launcher/builtin/builtin_tools.h"

// Runs the command line: its raw status (-1, or a wait status), and the line
// in which a stand-in tells why it failed. The line is split into words as a
// shell would; unzip and rm are carried out in this process by their
// stand-ins (builtin_tools.h, reading the installer from the descriptor held
// since the start), anything else with system(), sharing the launcher's
// standard streams. A line that is not of the launcher's quoting (an
// unquoted $, ;, *, ...), or one longer than one exec string can hold, is
// not run and gives -1: Linux would refuse the latter to the shell, and
// system() would report that as an exit status of 127, as if the command had
// run and failed.
ToolOutcome runShellCommand(const std::string& commandLine);

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
