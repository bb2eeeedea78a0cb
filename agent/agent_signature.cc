#include "agent/agent_signature.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "agent/agent_public_key.h"

namespace {

struct BioFreer {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct KeyFreer {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct DigestContextFreer {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using UniqueKey = std::unique_ptr<EVP_PKEY, KeyFreer>;
using UniqueDigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFreer>;

// A whole file mapped read-only; empty when it cannot be opened or mapped.
class MappedFile {
 public:
  explicit MappedFile(const std::string& path) {
    int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return;
    struct stat status;
    if (fstat(descriptor, &status) == 0) opened_ = map(descriptor, status.st_size);
    close(descriptor);  // the mapping keeps the file's pages
  }
  ~MappedFile() {
    if (data_ != nullptr) munmap(const_cast<unsigned char*>(data_), size_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  bool opened() const { return opened_; }
  const unsigned char* data() const { return data_ != nullptr ? data_ : &empty_; }
  size_t size() const { return size_; }

 private:
  // An empty file is opened but not mapped: mmap refuses a length of zero.
  bool map(int descriptor, off_t size) {
    if (size == 0) return true;
    void* address = mmap(nullptr, size, PROT_READ, MAP_SHARED, descriptor, 0);
    if (address == MAP_FAILED) return false;
    data_ = static_cast<const unsigned char*>(address);
    size_ = size;
    return true;
  }

  const unsigned char* data_ = nullptr;
  size_t size_ = 0;
  bool opened_ = false;
  static constexpr unsigned char empty_ = 0;
};

// The built-in key when it is an Ed25519 public key; null otherwise.
UniqueKey builtInKey() {
  // The launcher's behaviour must not depend on the host's openssl.cnf.
  OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
  std::unique_ptr<BIO, BioFreer> pem(
      BIO_new_mem_buf(agentPublicKeyPem.data(), static_cast<int>(agentPublicKeyPem.size())));
  if (!pem) return nullptr;
  UniqueKey key(PEM_read_bio_PUBKEY(pem.get(), nullptr, nullptr, nullptr));
  if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) return nullptr;
  return key;
}

}  // namespace

bool agentSignatureRequired() { return !agentPublicKeyPem.empty(); }

bool agentArchiveSignatureVerifies(const std::string& archivePath, std::string_view signature) {
  if (signature.size() != agentSignatureLength) return false;
  UniqueKey key = builtInKey();
  if (!key) return false;
  MappedFile archive(archivePath);
  if (!archive.opened()) return false;
  UniqueDigestContext context(EVP_MD_CTX_new());
  // Ed25519 signs the message itself, not a digest of it: no digest is
  // named and the whole archive goes into one call.
  return context &&
         EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
         EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                          signature.size(), archive.data(), archive.size()) == 1;
}
