// The key that downloaded install agents must be signed with, chosen when the
// launcher is linked: each launcher executable links exactly one definition.
#pragma once

#include <string_view>

// The PEM text of an Ed25519 public key, or empty when this launcher trusts
// downloaded agents without a signature.
extern const std::string_view agentPublicKeyPem;
