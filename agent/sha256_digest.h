// SHA-256 of bytes that arrive in pieces, so that a large download is checked
// as it streams past, with memory that does not grow with it.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <memory>
#include <string>

class Sha256Digest {
 public:
  Sha256Digest();
  // Adds the bytes; false once the library failed, which spoils the digest.
  bool add(const void* data, size_t length);
  // The 64 lower-case hexadecimal digits of the digest of everything added;
  // empty when the library failed. Ends the digest: nothing more may be added.
  std::string hexadecimal();

 private:
  struct ContextFreer {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
  };
  std::unique_ptr<EVP_MD_CTX, ContextFreer> context_;
  bool failed_ = false;
};
