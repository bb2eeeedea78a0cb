// Owners of OpenSSL objects: each is freed with its own function when its
// owner goes, on every way out.
#pragma once

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <memory>

namespace openssl {

struct BioFreer {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct KeyFreer {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct DigestContextFreer {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct BufferFreer {
  void operator()(unsigned char* buffer) const { OPENSSL_free(buffer); }
};

using UniqueBio = std::unique_ptr<BIO, BioFreer>;
using UniqueKey = std::unique_ptr<EVP_PKEY, KeyFreer>;
using UniqueDigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFreer>;
using UniqueBuffer = std::unique_ptr<unsigned char, BufferFreer>;

}  // namespace openssl
