// DNS filtering as the agent drives it: proxy start, system DNS switching, domain limits and
// the blocked list.
#include "Agent.h"

#include "Log.h"
#include "dns/DNSConfigurator.h"
#include "dns/DNSProxy.h"

namespace tether {

void Agent::startDNS() {
  if (auto error = dns_->start()) {
    log("dns disabled: " + error->text() + ". app limits still run.");
    return;
  }
  DNSConfigurator::apply(configURL_, env_.networkSetupTool);
  dnsApplied_ = true;
}

void Agent::restoreSystemDNS() { DNSConfigurator::restore(configURL_, env_.networkSetupTool); }

void Agent::applyDNS() {
  // Placeholder until the proxy takes rules.
}

std::vector<std::string> Agent::currentlyBlocked() const { return {}; }

}  // namespace tether
