#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace tether {

// DNS over TCP on 127.0.0.1 beside the proxy's UDP port: clients retry a truncated answer over
// TCP to the same server. Each message travels with a two-byte length in front (RFC 7766). A
// connection's queries are answered one after the other, by the proxy's own decision (its rules)
// or by the upstream resolver over a TCP connection of their own, whose answer must carry the
// query's ID and question; no answer within the upstream wait is SERVFAIL.
//
// One thread, "kinward-dns-tcp", serves every connection, so the UDP path never waits for it.
// At most kMaxConnections at once (a connection beyond them is closed at once); a connection
// that has not completed a query within kIdleLimit of being accepted or of its last answer is
// closed, however slowly it keeps sending.
class WakeSignal;

class DNSStreamServer {
 public:
  static constexpr std::size_t kMaxConnections = 64;
  static constexpr std::chrono::seconds kIdleLimit{10};

  // The proxy's own answer to a query, written to `out` (true); or false when the query is to be
  // forwarded, with the offset just past its first question in `questionEnd`.
  using LocalAnswer =
      std::function<bool(std::string_view query, std::string& out, std::size_t& questionEnd)>;

  // The upstream is a dotted IPv4 address; anything else makes every forwarded query fail.
  DNSStreamServer(LocalAnswer localAnswer, const std::string& upstream, uint16_t upstreamPort,
                  std::chrono::milliseconds upstreamWait);
  ~DNSStreamServer();
  DNSStreamServer(const DNSStreamServer&) = delete;
  DNSStreamServer& operator=(const DNSStreamServer&) = delete;

  // Listens on 127.0.0.1:port and starts the serving thread; the reason ("bind 127.0.0.1:53:
  // ...") when it cannot, with nothing left open.
  std::optional<std::string> start(uint16_t port);
  // Ends the serving thread and closes every connection.
  void shutdown();

 private:
  class Loop;

  LocalAnswer localAnswer_;
  std::string upstream_;
  uint16_t upstreamPort_;
  std::chrono::milliseconds upstreamWait_;
  std::unique_ptr<WakeSignal> wake_;  // raised by shutdown(); the serving thread watches it
  std::thread thread_;
};

}  // namespace tether
