// A loopback HTTP server started by the test itself, playing the agent
// server: it serves an archive with an ETag at /agent and records requests.
#pragma once

#include <httplib.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

class AgentServer {
 public:
  // What /agent answers; change between runs with configure().
  struct Behaviour {
    std::string archive;            // body of a GET
    std::string etagName = "ETag";  // the header's name as sent
    std::string etag = "\"v1\"";    // no ETag header when empty
    int headStatus = 200, getStatus = 200;
  };

  // Also serves /redirect (302 to /agent, with an ETag of its own), /loop
  // (302 to itself), /broken (a GET that breaks off after half the body),
  // /huge-header (a header line of 1 MiB) and /slow (a GET that sends one
  // byte of the body every 20 ms).
  AgentServer();
  ~AgentServer();

  std::string url(const std::string& path = "/agent") const;
  void configure(const Behaviour& behaviour);
  // "HEAD /agent", "GET /agent", ... in the order they arrived; clears the log.
  std::vector<std::string> takeRequests();

 private:
  void serveAgent(const httplib::Request& request, httplib::Response& response);
  Behaviour current();

  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  Behaviour behaviour_;
  std::vector<std::string> requests_;
};

}  // namespace testing_support
