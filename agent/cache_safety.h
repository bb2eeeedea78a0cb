// Refuses a per-user agent cache that someone else could have planted or
// could change: its agent would run as the user starting the launcher.
#pragma once

#include "launcher/message_reporter.h"

// True when every directory the cache adds below its root (".orvane" down to
// the agent cache directory, and the agent directory when it exists) belongs
// to this user or to root and cannot be written by others; otherwise reports
// the first one that fails and returns false.
bool agentCacheIsSafe(MessageReporter report);
