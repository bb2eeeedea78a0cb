// Whether a downloaded install agent archive comes from the vendor: an
// Ed25519 signature over the archive's bytes, checked with the key built
// into the launcher.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The length of an Ed25519 signature, as `openssl pkeyutl -sign -rawin` writes it.
inline constexpr size_t agentSignatureLength = 64;

// True when this launcher carries a key, so that a downloaded archive is
// trusted only with a signature that verifies.
bool agentSignatureRequired();

// True iff `signature` is the Ed25519 signature, under the built-in key, of
// exactly the bytes of the file at `archivePath`. False when no key is built
// in, the key or the file cannot be read, or the signature does not match.
// The file is mapped rather than read, so a large archive costs page cache,
// not heap.
bool agentArchiveSignatureVerifies(const std::string& archivePath, std::string_view signature);
