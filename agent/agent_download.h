// Brings the install agent archive from the agent server, but only when the
// cached agent is missing or its validator (the server's ETag line) changed.
// A launcher with a built-in key first fetches and verifies the archive's
// signed manifest, and keeps only an archive that matches it.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "launcher/core/failure.h"

// What a check with the agent server brought, for the caller to store once
// the new agent is in place.
struct FreshAgent {
  bool downloaded = false;  // an archive was written to the destination
  std::string validator;    // the server's ETag line; may be empty
  std::string manifest;     // the verified manifest; empty without a key
};

// Asks the agent URL (QZ_INTERNAL_INSTALL_AGENT_URL when that variable is
// set, even empty, else the compiled-in one) with HEAD and compares the ETag
// line of the final answer with the validator file of `cacheDirectory`.
// Succeeds with `fresh->downloaded` false when the cached agent is current
// or no transfer handle could be made, and with it true once the archive is
// in `destination`. Without a key `retireStaleAgent` is called before the
// archive is asked for. With a key, the URL followed by ".sig" is asked for
// first and must be a manifest for the URL's agent name that verifies and
// is not older than the cache's; the archive must then have exactly its
// size and digest, and the cache is left as it was until the caller
// replaces the agent. An archive that failed its check is removed.
Failure downloadInstallAgent(const std::string& cacheDirectory, const std::string& destination,
                             const std::function<void()>& retireStaleAgent, FreshAgent* fresh);
