#include "agent/agent_signature.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>

#include "agent/agent_public_key.h"
#include "agent/openssl_handles.h"
#include "agent/sha256_digest.h"

namespace {

using openssl::UniqueKey;

// The public key in `pem`; null when there is none.
UniqueKey readPublicKey(std::string_view pem) {
  // The launcher's behaviour must not depend on the host's openssl.cnf.
  OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
  openssl::UniqueBio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return nullptr;
  return UniqueKey(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
}

// The first 16 hexadecimal digits of the SHA-256 of the key in `publicKeyPem`
// in DER form; empty when it is no PEM public key.
std::string publicKeyId(std::string_view publicKeyPem) {
  constexpr size_t idDigits = 16;
  UniqueKey key = readPublicKey(publicKeyPem);
  if (!key) return "";
  unsigned char* der = nullptr;
  int length = i2d_PUBKEY(key.get(), &der);
  openssl::UniqueBuffer owned(der);
  if (length <= 0) return "";
  Sha256Digest digest;
  digest.add(der, static_cast<size_t>(length));
  return digest.hexadecimal().substr(0, idDigits);
}

}  // namespace

bool agentSignatureRequired() { return !agentPublicKeyPem.empty(); }

std::string agentKeyId() { return agentSignatureRequired() ? publicKeyId(agentPublicKeyPem) : ""; }

bool ed25519SignatureVerifies(std::string_view publicKeyPem, std::string_view message,
                              std::string_view signature) {
  if (signature.size() != agentSignatureLength) return false;
  UniqueKey key = readPublicKey(publicKeyPem);
  if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) return false;
  openssl::UniqueDigestContext context(EVP_MD_CTX_new());
  // Ed25519 signs the message itself, not a digest of it: no digest is named.
  return context &&
         EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
         EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                          signature.size(), reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1;
}
