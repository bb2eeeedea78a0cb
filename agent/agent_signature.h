// The vendor's Ed25519 key: whether this launcher carries one, the name it
// gives the key's own agent cache, and the check of a signature under it.
#pragma once

#include <string>
#include <string_view>

// The length of an Ed25519 signature.
inline constexpr size_t agentSignatureLength = 64;

// True when this launcher carries a key, so that a downloaded archive is
// trusted only with a manifest that verifies.
bool agentSignatureRequired();

// The first 16 lower-case hexadecimal digits of the SHA-256 of the built-in
// public key in DER form (its SubjectPublicKeyInfo, as
// `openssl pkey -pubin -outform DER` writes it); empty without a key.
std::string agentKeyId();

// True iff `signature` is the Ed25519 signature of exactly `message` under
// the Ed25519 public key in `publicKeyPem`. False for any other kind of key,
// a key that cannot be read, or a signature that does not match.
bool ed25519SignatureVerifies(std::string_view publicKeyPem, std::string_view message,
                              std::string_view signature);
