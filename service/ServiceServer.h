#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "HttpServer.h"
#include "LoginThrottle.h"
#include "PasswordHash.h"
#include "Result.h"
#include "ServiceStore.h"

namespace tether {

// The service's HTTP side: the routes of the service contract, the parent's own endpoints and the
// sign-in stand-in over one ServiceStore, served by an HttpServer. Every refusal is a JSON body
// {"detail": text} with a 4xx status; a failure inside the service is a 500 with a log line, or a
// 503 while the database cannot be reached.
class ServiceServer {
 public:
  struct Settings {
    PasswordHash::Cost passwordCost = PasswordHash::interactive();
    std::chrono::seconds signInCodeLifetime{300};
    // One line per request ("POST /v1/login 200") and per internal failure; silent when empty.
    // Called from several threads.
    std::function<void(std::string_view)> log;
    HttpServer::Limits limits;
    // Sign-ins and registrations per client address, and sign-ins per account, per window.
    LoginThrottle::Limits loginLimits;
  };

  // Request body limits: policies may hold a million host names.
  static constexpr std::size_t kPolicyBodyLimit = 64u << 20;
  static constexpr std::size_t kReportBodyLimit = 4u << 20;
  static constexpr std::size_t kSmallBodyLimit = 64u << 10;

  ServiceServer(ServiceStore& store, Settings settings);
  ~ServiceServer();  // stops serving and waits for it
  ServiceServer(const ServiceServer&) = delete;
  ServiceServer& operator=(const ServiceServer&) = delete;

  // Binds to host and port; port 0 picks a free port. Returns the port bound.
  Result<int> bind(const std::string& host, int port);
  // HTTPS instead of HTTP (HttpServer::useTls). Before serve().
  Result<bool> useTls(const std::string& certificateChain, const std::string& privateKey);
  // Serves on the bound socket until stop(); false when serving could not start.
  bool serve();
  // Safe from any thread and at any time, also before serve() has begun.
  void stop();

  // The answer to the bytes of one request, without a socket (HttpServer::answer).
  std::string answer(std::string_view request);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tether
