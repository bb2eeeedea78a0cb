// Brings the install agent archive from the agent server, but only when the
// cached agent is missing or its validator (the server's ETag line) changed.
// A launcher with a built-in key first fetches and verifies the archive's
// signed manifest, and keeps only an archive that matches it.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "launcher/message_reporter.h"

// What a check with the agent server brought, for the caller to store once
// the new agent is in place.
struct FreshAgent {
  bool downloaded = false;  // an archive was written to the destination
  std::string validator;    // the server's ETag line; may be empty
  std::string manifest;     // the verified manifest; empty without a key
};

// downloadInstallAgentFrom() with the URL in QZ_INTERNAL_INSTALL_AGENT_URL
// when that variable is set (even empty), else the compiled-in agent URL.
bool downloadInstallAgent(const std::string& cacheDirectory, const std::string& destination,
                          const std::function<void()>& retireStaleAgent, FreshAgent* fresh,
                          MessageReporter report);

// Asks `url` with HEAD and compares the ETag line of the final answer with
// the validator file of `cacheDirectory`. True when the cached agent is
// current or no transfer handle could be made (`fresh->downloaded` false),
// or when the archive was written to `destination` (true). Without a key
// `retireStaleAgent` is called before the archive is asked for. With a key,
// `url` followed by ".sig" is asked for first and must be a manifest for
// this URL's agent name that verifies and is not older than the cache's; the
// archive must then have exactly its size and digest, and the cache is left
// as it was until the caller replaces the agent. False after a failure,
// which has been reported; an archive that failed its check is removed.
bool downloadInstallAgentFrom(const std::string& url, const std::string& cacheDirectory,
                              const std::string& destination,
                              const std::function<void()>& retireStaleAgent, FreshAgent* fresh,
                              MessageReporter report);

// libcurl header callback: keeps the latest line that begins with "ETag: "
// (any letter case), less its final line feed, in the std::string at
// `validator`; a status line clears it, so that only the final answer's own
// header counts, never an interim (1xx) answer's or a redirect's. Always
// takes the whole line.
size_t captureValidatorHeader(char* data, size_t size, size_t count, void* validator);
