// Unpacks the ZIP archive appended to the installer file, which carries
// bundle.zip.
#pragma once

#include <string>
#include <string_view>

#include "launcher/core/failure.h"

// The line that tells the user the payload could not be unpacked.
inline constexpr std::string_view payloadFailedMessage =
    "Internal error: Failed to initialize application installer (201)";

// Unpacks the installer file's archive into `extractionDirectory`. Fails
// (with the unpacking's own line, when it has one, and payloadFailedMessage)
// when the unpacking could not run, failed (an exit code above 1), left no
// bundle.zip, or warned (exit code 1) and left bundle.zip empty.
Failure extractPayload(const std::string& extractionDirectory);
