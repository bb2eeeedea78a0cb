#include "agent/sha256_digest.h"

Sha256Digest::Sha256Digest() : context_(EVP_MD_CTX_new()) {
  failed_ = !context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1;
}

bool Sha256Digest::add(const void* data, size_t length) {
  if (!failed_) failed_ = EVP_DigestUpdate(context_.get(), data, length) != 1;
  return !failed_;
}

std::string Sha256Digest::hexadecimal() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (failed_ || EVP_DigestFinal_ex(context_.get(), digest, &length) != 1) return "";
  failed_ = true;  // finished
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i)
    text += {digits[digest[i] >> 4], digits[digest[i] & 15]};
  return text;
}
