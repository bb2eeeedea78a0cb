// A real web server for the end-to-end tests: nginx serving a directory over
// http and https on loopback, with certificates made by the openssl tool.
#pragma once

#include <sys/types.h>

#include <string>

#include "test_support.h"

namespace testing_support {

// A test CA, a server certificate it signed for 127.0.0.1 and agents.test,
// and a second CA that signed nothing. Throws when openssl fails.
class TestCertificates {
 public:
  TestCertificates();
  std::string ca() const { return directory_.file("ca.crt"); }
  std::string otherCa() const { return directory_.file("other.crt"); }
  std::string certificate() const { return directory_.file("server.crt"); }
  std::string key() const { return directory_.file("server.key"); }

 private:
  TemporaryDirectory directory_;
};

// nginx in the foreground as a child of the test, serving `root` over http
// and, with `tls`, over https, on free loopback ports; logs "SCHEME METHOD
// /path" lines. `locations` goes into the server block, with HTTP_PORT and
// HTTPS_PORT replaced by the ports. Stopped on destruction.
class Nginx {
 public:
  explicit Nginx(const std::string& root, const TestCertificates* tls = nullptr,
                 const std::string& locations = "");
  ~Nginx();
  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;

  bool started() const { return pid_ > 0; }
  int httpPort() const { return httpPort_; }
  std::string url(const std::string& path, const std::string& host = "127.0.0.1") const;
  std::string secureUrl(const std::string& path, const std::string& host = "127.0.0.1") const;
  std::string takeAccessLog();

 private:
  void start(const std::string& root, const TestCertificates* tls, const std::string& locations);
  std::string configuration(const std::string& root, const TestCertificates* tls,
                            const std::string& locations) const;

  TemporaryDirectory directory_;
  int httpPort_ = 0, httpsPort_ = 0;
  pid_t pid_ = 0;
};

// A loopback port that was free a moment ago.
int freePort();

}  // namespace testing_support
