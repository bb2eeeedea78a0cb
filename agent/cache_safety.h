// Refuses a per-user agent cache that someone else could have planted or
// could change: its agent would run as the user starting the launcher.
#pragma once

#include <string>

#include "launcher/core/failure.h"

// Succeeds when the path to the agent directory in `cacheDirectory` can be
// trusted (see pathIsTrusted) and the validator, lock and (with a built-in
// key) manifest files there, when they exist, are plain files of this user's
// or root's with no other name; otherwise fails naming the first offending
// path.
Failure checkCacheIsSafe(const std::string& cacheDirectory);
