// The exchange with the web service: policy poll, usage upload, and the inventory it carries.
#include "Agent.h"

#include "Clock.h"
#include "Log.h"
#include "dns/SiteIndex.h"

namespace tether {

void Agent::poll() {
  // Placeholder until the service client arrives.
}

void Agent::postUsage(bool) {
  // Placeholder until the service client arrives.
}

void Agent::applyPolicy(Policy fetched) {
  if (fetched.usageEpoch > usage_.epoch) {
    usage_ = UsageState{Clock::todayStamp(env_.now()), {}, fetched.usageEpoch};
    persistUsage();
    log("usage reset by parent (epoch " + std::to_string(fetched.usageEpoch) + ")");
  }
  if (fetched.rev != policy_.rev) {
    const std::string line = "policy rev " + std::to_string(fetched.rev) + ": " +
                             std::to_string(fetched.apps.size()) + " app rule(s), " +
                             std::to_string(fetched.domains.size()) + " blocked domain(s), " +
                             std::to_string(fetched.domainLimits.size()) + " domain limit(s)";
    policy_ = std::move(fetched);
    siteIndex_ = std::make_shared<const SiteIndex>(policy_.siteRules());
    applyDNS();
    log(line);
  }
}

std::vector<InstalledApp> Agent::inventory() const { return {}; }

}  // namespace tether
