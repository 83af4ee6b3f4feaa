// DNS filtering as the agent drives it: proxy start, system DNS switching, domain limits and
// the blocked list.
#include "Agent.h"

#include <algorithm>

#include "Clock.h"
#include "Log.h"
#include "TabState.h"
#include "dns/DNSConfigurator.h"
#include "dns/DNSProxy.h"
#include "dns/SiteIndex.h"

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
  // Without a usable, fresh snapshot from the tab helper no web time is counted, so every host
  // with a positive limit counts as used up: domain limits fail closed.
  const std::optional<TabSnapshot> snapshot = TabState::readSnapshot(configURL_);
  const bool stale = !snapshot || !TabState::isFresh(*snapshot, wallSeconds());

  // The rules are the ones derived when the policy last changed; only the over-limit set is new.
  const SiteIndex& rules = *siteIndex_;
  DNSProxy::HostSet overCap;
  for (uint32_t position : rules.limitPositions()) {
    const int64_t minutes = rules.action(position).minutes;
    if (minutes <= 0) continue;
    std::string host(rules.host(position));
    bool over = stale;
    if (!stale) {
      const auto used = usage_.minutes.find(host);
      over = used != usage_.minutes.end() && used->second >= static_cast<double>(minutes);
    }
    if (over) overCap.insert(std::move(host));
  }
  dns_->setRules(siteIndex_, std::move(overCap));
}

std::vector<std::string> Agent::currentlyBlocked() const {
  std::vector<std::string> blocked;
  const auto now = env_.now();
  for (const auto& [bundleId, rule] : policy_.apps) {
    const auto used = usage_.minutes.find(bundleId);
    const double minutes = used == usage_.minutes.end() ? 0.0 : used->second;
    if (Clock::shouldBlock(rule, minutes, now)) blocked.push_back(bundleId);
  }
  std::vector<std::string> hosts = dns_->currentBlocked();
  blocked.insert(blocked.end(), std::make_move_iterator(hosts.begin()),
                 std::make_move_iterator(hosts.end()));
  std::sort(blocked.begin(), blocked.end());
  return blocked;
}

}  // namespace tether
