#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Result.h"
#include "ServerMessage.h"

namespace tether {

// The service's HTTP/1.1 server (Boost.Beast over Asio), plain or over TLS (Asio's OpenSSL
// stream). One thread runs every connection's
// reads, writes and deadlines, so a connection that waits for its client holds no thread; the
// handler's work (the store, password hashing, documents) runs on a small pool of workers and
// only for requests that have arrived whole.
//
// Each connection carries one request and is closed after the answer. Its limits:
// - nothing sent for `idle`: closed;
// - the request line and headers must be in within `head` of the connection's first byte;
// - the body must keep up `minRate` bytes a second after the headers (with `head` to start);
// - the answer must be taken as fast, or the connection is closed;
// - at most `maxConnections` open at once; beyond that a new one is closed at once.
// A request too slow is answered 408. Once the headers are in, the handler admits the request
// or refuses it before any byte of its body is read; a body announced over the request's limit
// is refused at once too. A refused client that is still sending is read (and ignored) for
// `linger` after the answer, so that it gets the answer rather than a reset connection.
// Bodies sent with "Content-Encoding: gzip" are decoded, within the same limit.
//
// A request whose body is longer than `heavyBody` (a policy of many names, which takes seconds of
// CPU to check) is handled apart from the others: by one worker of its own, one such request at a
// time, at a lower scheduling priority, so that it does not hold up the many small requests.
class HttpServer {
 public:
  struct Limits {
    std::chrono::milliseconds idle{30'000};
    std::chrono::milliseconds head{10'000};
    std::size_t minRate = 1024;
    std::size_t maxConnections = 10'000;
    std::chrono::milliseconds linger{2'000};
    unsigned workers = 4;
    std::size_t heavyBody = 256u << 10;
  };

  // What the server asks of the service. admit() and respond() run on the workers; an exception
  // thrown from either is answered 500 {"detail": "internal error"} and logged.
  class Handler {
   public:
    virtual ~Handler() = default;

    struct Admission {
      std::size_t bodyLimit = 0;              // the most body bytes, decoded
      std::optional<ServerResponse> refusal;  // answered at once, the body left unread
    };
    // The request's head (its body is still empty).
    virtual Admission admit(const ServerRequest& head) = 0;
    virtual ServerResponse respond(ServerRequest& request) = 0;
    // One line per answered request ("POST /v1/login 200") and per internal failure.
    virtual void log(std::string_view line) = 0;
  };

  // The handler must outlive the server.
  HttpServer(Handler& handler, Limits limits);
  ~HttpServer();  // stops serving and waits for the workers
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds to host and port (port 0 picks a free one) and listens. Returns the port bound. An
  // address in use is an error: no second server ever shares it.
  Result<int> bind(const std::string& host, int port);
  // Speaks HTTPS (TLS 1.2 or later) instead of HTTP, with a certificate chain and its private
  // key, both PEM files. Before serve().
  Result<bool> useTls(const std::string& certificateChain, const std::string& privateKey);
  // Serves on the bound socket until stop(); false when nothing was bound.
  bool serve();
  // Safe from any thread and at any time, also before serve() has begun.
  void stop();

  // The whole exchange for the bytes a client sent, without a socket: what the server would write
  // back (empty when it would write nothing). The same parsing, limits and handler calls as a
  // connection, on the calling thread.
  static std::string answer(Handler& handler, std::string_view request);

  // The request line and headers together; a target longer than kTargetLimit is answered 414.
  static constexpr std::size_t kHeadLimit = 16u << 10;
  static constexpr std::size_t kTargetLimit = 8192;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tether
