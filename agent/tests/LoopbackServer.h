#pragma once

// A real HTTP server on 127.0.0.1 for tests of the agent's service exchange. Every GET and POST
// goes to one handler; a handler may hold its request until release() so that tests can act
// while a request is in flight.
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

namespace tether::test {

class LoopbackServer {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  explicit LoopbackServer(Handler handler) : handler_(std::move(handler)) {
    auto route = [this](const httplib::Request& req, httplib::Response& res) {
      handler_(req, res);
    };
    server_.Get(".*", route);
    server_.Post(".*", route);
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("cannot bind a loopback port");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!server_.is_running() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  ~LoopbackServer() {
    release();
    server_.stop();
    thread_.join();
  }

  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  // For handlers: waits until release(), at most 30 seconds.
  void hold() {
    held_ = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!released_ && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  // For tests: waits until a handler holds a request.
  bool waitUntilHeld(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!held_ && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return held_;
  }
  void release() { released_ = true; }

 private:
  Handler handler_;
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::atomic<bool> held_{false};
  std::atomic<bool> released_{false};
};

}  // namespace tether::test
