#pragma once

// A real HTTP server (https with a certificate and key) on 127.0.0.1 for tests of the agent's
// service exchange. Every GET and POST goes to one handler; a handler may hold its request until
// release() so that tests can act while a request is in flight.
#include <httplib.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "TestSupport.h"

namespace tether::test {

class LoopbackServer {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  explicit LoopbackServer(Handler handler, const std::string& cert = "",
                          const std::string& key = "")
      : handler_(std::move(handler)), scheme_(cert.empty() ? "http" : "https") {
    if (cert.empty()) {
      server_ = std::make_unique<httplib::Server>();
    } else {
      server_ = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
    }
    auto route = [this](const httplib::Request& rq, httplib::Response& rs) { handler_(rq, rs); };
    server_->Get(".*", route);
    server_->Post(".*", route);
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("cannot bind a loopback port");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    eventually([this] { return server_->is_running(); }, std::chrono::seconds(10));
  }
  ~LoopbackServer() {
    release();
    server_->stop();
    thread_.join();
  }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  std::string url() const { return scheme_ + "://127.0.0.1:" + std::to_string(port_); }

  // For handlers: waits until release(), at most 30 seconds.
  void hold() {
    held_ = true;
    eventually([this] { return released_.load(); }, std::chrono::seconds(30));
  }
  // For tests: waits until a handler holds a request.
  bool waitUntilHeld() const {
    return eventually([this] { return held_.load(); }, std::chrono::seconds(10));
  }
  void release() { released_ = true; }

 private:
  Handler handler_;
  std::string scheme_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  std::atomic<bool> held_{false}, released_{false};
};

}  // namespace tether::test
