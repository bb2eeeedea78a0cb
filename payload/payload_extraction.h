// Unpacks the ZIP archive appended to the installer file, which carries
// bundle.zip.
#pragma once

#include <string>
#include <string_view>

#include "launcher/running_executable.h"

inline constexpr int payloadExtractionFailed = 201;
inline constexpr std::string_view bundleFileName = "bundle.zip";

// "unzip -qq", the installer file and "-d" with `extractionDirectory`, both
// paths quoted for the shell.
std::string payloadCommandLine(const std::string& extractionDirectory);

// Unpacks the installer file's archive into `extractionDirectory`. Returns 0
// once bundle.zip lies there, and payloadExtractionFailed when the unpacking
// could not run, failed (an exit code above 1), left no bundle.zip, or warned
// (exit code 1) and left bundle.zip empty.
int extractPayload(const std::string& extractionDirectory);
