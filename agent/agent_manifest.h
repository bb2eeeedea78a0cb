// The signed manifest that vouches for a downloaded agent archive: which
// agent and release it is, how long it is and its digest, signed with the
// vendor's key. The launcher reads it; sign-agent writes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The most of a manifest the launcher reads; a longer body is refused. The
// format itself holds well under 1 KiB.
inline constexpr size_t agentManifestLimit = 1024;

struct AgentManifest {
  std::string agent;  // the agent's name, as agentNameOfUrl() gives it
  uint64_t version = 0;
  uint64_t size = 0;
  std::string sha256;  // 64 lower-case hexadecimal digits
};

// True for a name a manifest can carry: not empty, and no "/", blank or
// control character, so that it is one word on one line and one URL path
// component.
bool isAgentName(std::string_view name);

// The name an agent URL gives its agent: the last component of its path
// (which ends at "?" or "#"), as the vendor's server names the archive.
// "https://h/a/pi_install_agent_pi_T19q7c_hostk64?x" gives
// "pi_install_agent_pi_T19q7c_hostk64".
std::string agentNameOfUrl(std::string_view url);

// The manifest's lines before its signature line, for `manifest`:
//   qz-agent-manifest 2
//   agent NAME
//   version V
//   size S
//   sha256 H
// each ending in a line feed. The signature covers exactly these bytes.
std::string agentManifestSignedLines(const AgentManifest& manifest);

// True when `text` is exactly agentManifestSignedLines() of some manifest
// whose name is `expectedAgent` (and a name isAgentName() accepts), V and S
// decimal numbers from 1 to 2^63-1 without sign or leading zero and H 64
// lower-case hexadecimal digits, followed by "signature G\n", G being 128
// lower-case hexadecimal digits that spell the Ed25519 signature of those
// lines under `publicKeyPem`. Then `manifest` holds what it says; otherwise
// it is left alone. Any other format line, the first one included, is
// refused.
bool readAgentManifest(std::string_view text, std::string_view publicKeyPem,
                       std::string_view expectedAgent, AgentManifest* manifest);
