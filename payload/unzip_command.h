// The launcher's own runs of unzip: the archive is opened by its exact name,
// the user's unzip defaults do not apply, and an unzip that Ctrl-C stopped
// ends the run by SIGINT.
#pragma once

#include <string>
#include <string_view>

// `path` with each *, ? and [ of its last name written as a one-character
// class ([*], [?], [[]): Info-ZIP's unzip reads that name as a wildcard
// pattern and would otherwise open every file that matches it. Other paths
// keep their bytes.
std::string literalArchiveName(std::string_view path);

// `tool` `options` ARCHIVE -d DIRECTORY, the archive taken literally and both
// paths quoted for the shell.
std::string unzipCommandLine(std::string_view tool, std::string_view options,
                             const std::string& archive, const std::string& directory);

// Runs the line with runTool() while neither UNZIP nor UNZIPOPT is set (Info-ZIP
// takes default options from them) and returns the raw status. Info-ZIP exits
// 80 when SIGINT stopped it, and a shell that execs its only command hands
// that on: the user interrupted the run, which then ends by SIGINT.
int runUnzip(const std::string& commandLine);
