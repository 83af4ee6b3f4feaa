#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "AgentError.h"

namespace tether {

class DNSStreamServer;
class SiteIndex;

// The local DNS proxy: a UDP server on every local IPv4 address that answers blocked names
// itself (0.0.0.0 or ::) and relays every other query to one upstream resolver; and the same
// over TCP on 127.0.0.1 (DNSStreamServer), for answers too large for a datagram.
//
// One serving thread, "kinward-dns", waits on the listening socket and on every forwarded query
// at once: each forwarded query has its own socket connected to the upstream (so the kernel picks
// a fresh source port, and only the upstream's address and port can answer it), accepts only a
// reply that carries the query's ID and question, and ends in SERVFAIL on its own after 2 seconds
// without one. Where the system gives a disconnected socket's port up (Linux), the socket of an
// answered query is kept and connected anew, with a new port, for a later query.
// Only senders in 127.0.0.0/8 are answered; datagrams from anywhere else are dropped, so the
// computer never serves as an open resolver for its network. Should the listening socket stop
// working, the thread closes it, logs one line and binds the port again a second later.
//
// The rules and the set of hosts over their time limit are handed over together as one shared,
// immutable pair; the serving thread takes a reference to the current pair per query and never
// copies rules.
class DNSProxy {
 public:
  using HostSet = std::set<std::string, std::less<>>;

  // How long a forwarded query waits for the upstream's answer.
  static constexpr std::chrono::seconds kUpstreamWait{2};
  // Forwarded queries waiting at once; beyond that a query is answered SERVFAIL at once. With the
  // sockets kept spare they also stay under a quarter of the process's descriptor limit.
  static constexpr std::size_t kMaxInFlight = 512;
  // When serving fails (the listening socket stops working), the socket is closed and a new one
  // bound after this pause, again and again until it serves.
  static constexpr std::chrono::seconds kRestartPause{1};

  // The upstream is a dotted IPv4 address; anything else makes every forwarded query fail. The
  // ports are 53 in the agent; tests choose others (listening port 0: any free port).
  explicit DNSProxy(std::string upstream, uint16_t listenPort = 53, uint16_t upstreamPort = 53);
  ~DNSProxy();
  DNSProxy(const DNSProxy&) = delete;
  DNSProxy& operator=(const DNSProxy&) = delete;

  // Binds the socket and starts the serving thread; the error ("socket: ...", "bind :53: ...")
  // on failure, with nothing left open.
  std::optional<AgentError> start();
  // Ends the serving thread (at once, whether or not datagrams arrive) and closes every socket.
  void shutdown();

  // Replaces the rules and the over-limit set together. Queries in progress finish with the
  // pair they started with.
  void setRules(std::shared_ptr<const SiteIndex> rules, HostSet overCap);
  // The name (the service's host) that, with every name under it, is always forwarded, whatever
  // the rules say: a rule over it would otherwise stop every later poll, and with it any policy
  // that could lift the rule.
  void setAlwaysForwarded(std::string_view host);
  // The hosts blocked at this moment, in rule order; a host with several blocking rules is
  // listed once for each.
  std::vector<std::string> currentBlocked() const;
  HostSet overCap() const;
  std::shared_ptr<const SiteIndex> siteRules() const;
  // The decision the serving thread makes for a question name.
  bool isBlocked(std::string_view name) const;
  // The proxy's own answer to a query (unparsable, blocked, or one of the names that keep
  // browsers on this resolver) into `out`, true; false when the query is to be forwarded, with
  // the offset just past its first question in `questionEnd`.
  bool answerLocally(std::string_view query, std::string& out, std::size_t& questionEnd) const;

  const std::string& upstream() const { return upstream_; }
  // The bound port while serving, else 0.
  uint16_t port() const { return boundPort_; }
  bool serving() const { return thread_.joinable(); }
  // Whether TCP on 127.0.0.1 is served beside UDP (its port may have been taken).
  bool servingTcp() const { return stream_ != nullptr; }

 private:
  struct Tables;
  class Server;

  std::shared_ptr<const Tables> tables() const;
  // The serving thread: serves on fd until the shutdown, binding a new socket on the same port
  // whenever serving fails.
  void serve(int fd, uint16_t port, int wakeFd);

  std::string upstream_;
  uint16_t listenPort_;
  uint16_t upstreamPort_;
  mutable std::mutex lock_;  // guards tables_
  std::shared_ptr<const Tables> tables_;
  int wake_[2] = {-1, -1};  // written once by shutdown(); the serving thread watches it
  uint16_t boundPort_ = 0;
  std::thread thread_;
  std::unique_ptr<DNSStreamServer> stream_;  // DNS over TCP, while it serves
};

}  // namespace tether
