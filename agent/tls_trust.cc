#include "agent/tls_trust.h"

#include <sys/stat.h>

#include <cstdlib>

namespace {

constexpr const char* bundleFiles[] = {
    "/etc/ssl/certs/ca-certificates.crt",  // Debian, Ubuntu, Arch
    "/etc/pki/tls/certs/ca-bundle.crt",    // Fedora, RHEL
    "/etc/ssl/ca-bundle.pem",              // openSUSE
    "/etc/ssl/cert.pem",                   // Alpine
};
constexpr const char* certificateDirectory = "/etc/ssl/certs";

std::string nonEmptyVariable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool isFile(const char* path) {
  struct stat status;
  return stat(path, &status) == 0 && S_ISREG(status.st_mode);
}

bool isDirectory(const char* path) {
  struct stat status;
  return stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

TrustAnchors findTrustAnchors() {
  TrustAnchors anchors{nonEmptyVariable("SSL_CERT_FILE"), nonEmptyVariable("SSL_CERT_DIR")};
  if (!anchors.bundleFile.empty() || !anchors.directory.empty()) return anchors;
  for (const char* path : bundleFiles) {
    if (isFile(path)) {
      anchors.bundleFile = path;
      break;
    }
  }
  if (isDirectory(certificateDirectory)) anchors.directory = certificateDirectory;
  return anchors;
}
