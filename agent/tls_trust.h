// Where the certificates that vouch for an https:// agent server are found on
// a host the launcher was not built on: where the user's environment points
// OpenSSL, else where the common distributions keep their bundle.
#pragma once

#include <string>

struct TrustAnchors {
  std::string bundleFile;  // one file of PEM certificates; empty for none
  std::string directory;   // a directory of hashed certificate files; empty for none
};

// SSL_CERT_FILE and SSL_CERT_DIR when either is set and not empty; otherwise
// the first existing file of Debian's, Fedora's, openSUSE's and Alpine's
// bundle paths, and /etc/ssl/certs when it is a directory.
TrustAnchors findTrustAnchors();
