// Provides a ready install agent: from an archive shipped beside the bundle,
// or from the per-user agent cache.
#pragma once

#include <string>

#include "launcher/message_reporter.h"

// Returns the path of the agent's start script, or an empty string after a
// failure that has been reported.
std::string initializeInstallAgent(const std::string& extractionDirectory, MessageReporter report);

// Unpacks `archivePath` into `targetDirectory` with the tool `unzipTool`,
// overwriting existing files. False when the archive does not exist (nothing
// run, nothing reported) or the tool did not exit with status 0 (reported).
bool unzipInstallAgent(const std::string& archivePath, const std::string& targetDirectory,
                       const std::string& unzipTool, MessageReporter report);
