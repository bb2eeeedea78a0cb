#include "agent_server.h"

#include <chrono>
#include <utility>

namespace testing_support {

AgentServer::AgentServer() {
  server_.set_pre_routing_handler([this](const auto& request, auto&) {
    std::lock_guard lock(mutex_);
    requests_.push_back(request.method + " " + request.path);
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server_.Get("/agent",
              [this](const auto& request, auto& response) { serveAgent(request, response); });
  server_.Get("/redirect", [](const auto&, auto& response) {
    response.set_redirect("/agent");
    response.set_header("ETag", "\"redirect\"");
  });
  server_.Get("/loop", [](const auto&, auto& response) { response.set_redirect("/loop"); });
  server_.Get("/broken", [this](const auto& request, auto& response) {
    std::string body = current().archive;
    response.set_header("ETag", "\"broken\"");
    if (request.method == "HEAD") return response.set_content(body, "application/zip");
    response.set_content_provider(body.size(), "application/zip",
                                  [body](size_t offset, size_t, httplib::DataSink& sink) {
                                    if (offset > 0) return false;  // the connection breaks
                                    sink.write(body.data(), body.size() / 2);
                                    return true;
                                  });
  });
  server_.Get("/huge-header", [](const auto&, auto& response) {
    response.set_header("X-Padding", std::string(1 << 20, 'p'));
  });
  server_.Get("/slow", [this](const auto&, auto& response) {
    std::string body = current().archive;
    response.set_content_provider(body.size(), "application/zip",
                                  [body](size_t offset, size_t, httplib::DataSink& sink) {
                                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                                    return sink.write(body.data() + offset, 1);
                                  });
  });
  port_ = server_.bind_to_any_port("127.0.0.1");
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  for (int wait = 0; wait < 5000 && !server_.is_running(); ++wait)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

AgentServer::~AgentServer() {
  server_.stop();
  thread_.join();
}

std::string AgentServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void AgentServer::configure(const Behaviour& behaviour) {
  std::lock_guard lock(mutex_);
  behaviour_ = behaviour;
}

std::vector<std::string> AgentServer::takeRequests() {
  std::lock_guard lock(mutex_);
  return std::exchange(requests_, {});
}

AgentServer::Behaviour AgentServer::current() {
  std::lock_guard lock(mutex_);
  return behaviour_;
}

void AgentServer::serveAgent(const httplib::Request& request, httplib::Response& response) {
  Behaviour behaviour = current();
  response.status = request.method == "HEAD" ? behaviour.headStatus : behaviour.getStatus;
  if (!behaviour.etag.empty()) response.set_header(behaviour.etagName.c_str(), behaviour.etag);
  response.set_content(response.status < 300 ? behaviour.archive : "an error page",
                       "application/zip");
}

}  // namespace testing_support
