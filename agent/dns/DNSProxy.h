#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "AgentError.h"

namespace tether {

// The local DNS proxy. (Skeleton: serving arrives with the DNS filtering work.)
class DNSProxy {
 public:
  explicit DNSProxy(std::string upstream, uint16_t listenPort = 53, uint16_t upstreamPort = 53);
  ~DNSProxy();
  DNSProxy(const DNSProxy&) = delete;
  DNSProxy& operator=(const DNSProxy&) = delete;

  // Binds the socket and starts the serving thread; the error on failure.
  std::optional<AgentError> start();
  // Closes the socket; the serving thread ends.
  void shutdown();
  // The hosts blocked at this moment, in rule order.
  std::vector<std::string> currentBlocked() const;

  const std::string& upstream() const { return upstream_; }

 private:
  std::string upstream_;
  uint16_t listenPort_;
  uint16_t upstreamPort_;
};

}  // namespace tether
