// Finds the installer file the launcher runs from and unpacks the ZIP archive
// appended to it, which carries bundle.zip.
#pragma once

#include <string>
#include <string_view>

inline constexpr int payloadExtractionFailed = 201;
inline constexpr std::string_view bundleFileName = "bundle.zip";

// The whole target of /proc/self/exe, whatever its length; empty when the
// link cannot be read.
std::string executablePath();

// executablePath() up to its last "/" or "\", the separator excluded; the
// whole path when it holds neither; empty when the path is empty.
std::string executableDirectory();

// Unpacks the installer file's archive into `extractionDirectory` with unzip.
// Returns 0 once bundle.zip lies there, and payloadExtractionFailed when the
// shell could not run, a signal ended it, unzip reported an error (an exit
// code above 1), no bundle.zip came out, or unzip warned (exit code 1, as for
// an archive whose offsets it had to adjust) and left bundle.zip empty.
int extractPayload(const std::string& extractionDirectory);
