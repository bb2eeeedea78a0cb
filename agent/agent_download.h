// Brings the install agent archive from the agent server, but only when the
// cached agent is missing or its validator (the server's ETag line) changed.
#pragma once

#include <cstddef>
#include <string>

#include "launcher/message_reporter.h"

// downloadInstallAgentFrom() with the URL in QZ_INTERNAL_INSTALL_AGENT_URL
// when that variable is set (even empty), else the compiled-in agent URL.
bool downloadInstallAgent(const std::string& cacheDirectory, const std::string& destination,
                          std::string* freshValidator, MessageReporter report);

// Asks `url` with HEAD and compares its ETag line with the validator file of
// `cacheDirectory`. True when the cached agent is current (`destination` left
// empty), or when the old agent directory was removed and the archive written
// to `destination`, or when no transfer handle could be made. After a
// download `freshValidator` holds the server's validator, which the caller
// stores once the new agent is complete. A launcher with a built-in key then
// also asks for `url` followed by ".sig" and keeps the archive only when that
// signature verifies. False after a failure, which has been reported; a
// download that failed its check is removed.
bool downloadInstallAgentFrom(const std::string& url, const std::string& cacheDirectory,
                              const std::string& destination, std::string* freshValidator,
                              MessageReporter report);

// libcurl header callback: keeps the latest line that begins with "ETag: "
// (any letter case), less its final line feed, in the std::string at
// `validator`. Always takes the whole line.
size_t captureValidatorHeader(char* data, size_t size, size_t count, void* validator);

// libcurl write callback: appends the data to the FILE at `file`; a short
// count makes libcurl end the transfer with its write error.
size_t writeBodyToFile(char* data, size_t size, size_t count, void* file);
