#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Result.h"

namespace tether {

// One request to the service. headers hold complete lines such as "Authorization: Bearer x".
struct HttpRequest {
  std::string method = "GET";
  std::string url;
  std::vector<std::string> headers;
  std::string body;
  // The whole exchange, from connecting to the last byte of the answer.
  std::chrono::seconds timeout{60};
};

// An answer of any status. The body is decoded when the service sent it compressed.
struct HttpResponse {
  long status = 0;
  std::string body;
  // The final answer's header fields (not those of redirects), as name and value.
  std::vector<std::pair<std::string, std::string>> headers;

  // The first value of a field, its name compared without regard to letter case.
  std::optional<std::string> header(std::string_view name) const;
};

// The agent's one HTTP session for the life of the process: a single libcurl transfer kept
// between requests, so the connection to the service is reused. Requests run on the calling
// thread and are abandoned at once when the stop descriptor becomes readable.
class HttpClient {
 public:
  struct Limits {
    // No byte moved (or no connection made) for this long fails the request.
    std::chrono::seconds idleTimeout{15};
    // A longer answer fails the request instead of filling memory. A policy of a million
    // domains is about 25 MB of JSON. The bound holds for the decoded body of a compressed one.
    std::size_t maxBodyBytes = std::size_t{64} << 20;
    // While the machine has no route to the service at all, the request waits this long for
    // the network to come back, trying again every second, before it fails.
    std::chrono::seconds connectivityWait{5};
    // A file of trusted certificate authorities (PEM) in place of the system's; for tests.
    std::string certificateAuthorities{};
  };

  // The error text of a request abandoned because of a stop request.
  static constexpr const char* kInterrupted = "request interrupted by stop";

  // stopFd: a descriptor that becomes readable, and stays readable, once the agent must stop.
  explicit HttpClient(int stopFd, Limits limits);
  explicit HttpClient(int stopFd) : HttpClient(stopFd, Limits{}) {}
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Whether the text parses as an absolute URL with a scheme and a host.
  static bool parsesAsURL(const std::string& text);
  // The host of such a URL, as written there.
  static std::optional<std::string> hostOf(const std::string& url);

  // The answer, whatever its status, or the transport's description of why there is none
  // (refused connection, name lookup failure, time-out, an answer over maxBodyBytes, kInterrupted).
  // Only http and https are spoken; redirects are followed, from an https URL only to https.
  // Every request says it takes gzip ("Accept-Encoding: gzip"), and a gzip answer is decoded.
  Result<HttpResponse> send(const HttpRequest& request);

  const Limits& limits() const { return limits_; }

 private:
  bool ready();

  struct Impl;
  Limits limits_;
  int stopFd_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tether
