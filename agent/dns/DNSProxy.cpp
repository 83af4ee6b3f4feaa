#include "DNSProxy.h"

namespace tether {

DNSProxy::DNSProxy(std::string upstream, uint16_t listenPort, uint16_t upstreamPort)
    : upstream_(std::move(upstream)), listenPort_(listenPort), upstreamPort_(upstreamPort) {}

DNSProxy::~DNSProxy() { shutdown(); }

std::optional<AgentError> DNSProxy::start() {
  return AgentError::config("socket: DNS proxy not available in this build");
}

void DNSProxy::shutdown() {}

std::vector<std::string> DNSProxy::currentBlocked() const { return {}; }

}  // namespace tether
