// The signed manifest that vouches for a downloaded agent archive: which
// release it is, how long it is and its digest, signed with the vendor's key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The most of a manifest the launcher reads; a longer body is refused. The
// format itself holds at most some 300 bytes.
inline constexpr size_t agentManifestLimit = 1024;

struct AgentManifest {
  uint64_t version = 0;
  uint64_t size = 0;
  std::string sha256;  // 64 lower-case hexadecimal digits
};

// True when `text` is exactly these five lines, each ending in a line feed,
//   qz-agent-manifest 1
//   version V
//   size S
//   sha256 H
//   signature G
// where V and S are decimal numbers from 1 to 2^63-1 without sign or leading
// zero, H is 64 and G 128 lower-case hexadecimal digits, and G is the Ed25519
// signature under `publicKeyPem` of every byte before the "signature" line.
// Then `manifest` holds V, S and H; otherwise it is left alone.
bool readAgentManifest(std::string_view text, std::string_view publicKeyPem,
                       AgentManifest* manifest);
