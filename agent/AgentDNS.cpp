// DNS filtering as the agent drives it: proxy start, system DNS switching, domain limits and
// the blocked list.
#include "Agent.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

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
    // A backup left by an earlier run means the servers may still point at a proxy that is not
    // there now: they are put back.
    restoreSystemDNS();
    return;
  }
  switchSystemDNS();
}

void Agent::switchSystemDNS() {
  const std::optional<std::string> failure =
      DNSConfigurator::apply(configURL_, env_.networkSetupTool);
  if (failure) {
    // Tried again every cycle; only the first failure is logged, and the success after it logs
    // its usual line.
    if (!dnsSwitchPending_) {
      log("system DNS servers left unchanged: " + *failure + "; trying again every cycle");
    }
    dnsSwitchPending_ = true;
    return;
  }
  dnsSwitchPending_ = false;
  dnsApplied_ = true;
}

void Agent::restoreSystemDNS() { DNSConfigurator::restore(configURL_, env_.networkSetupTool); }

void Agent::applyDNS() {
  // The snapshot the latest cycle read (none before the first): without a usable, fresh one no
  // web time is counted, so every host with a positive limit counts as used up: domain limits
  // fail closed.
  const bool stale = !snapshot_ || !TabState::isFresh(*snapshot_, wallSeconds());

  // The rules are the ones derived when the policy last changed; only the over-limit set is new.
  // A limit of 0 minutes or fewer never enters it: the proxy blocks a limit of 0 by its rule.
  const SiteIndex& rules = *siteIndex_;
  DNSProxy::HostSet overCap;
  for (uint32_t position : rules.limitPositions()) {
    const SiteAction action = rules.action(position);
    if (action.minutes <= 0) continue;
    std::string host(rules.host(position));
    if (action.blocksNow(SiteAction::NonPositiveLimit::zeroBlocks,
                         [&] { return stale || action.spentBy(minutesUsed(host)); })) {
      overCap.insert(std::move(host));
    }
  }
  dns_->setRules(siteIndex_, std::move(overCap));
}

namespace {

// The positions of the rules sorted by host text (then by position). The first eight bytes of
// each host go into the sort key, so that most comparisons need not reach the texts, which lie
// all over the index.
std::vector<uint32_t> positionsByHost(const SiteIndex& rules) {
  struct Key {
    uint64_t prefix;  // the first eight bytes, big-endian, zero-padded: orders as the text does
    uint32_t position;
  };
  std::vector<Key> keys(rules.size());
  for (std::size_t i = 0; i < rules.size(); ++i) {
    const std::string_view host = rules.host(i);
    uint64_t prefix = 0;
    for (std::size_t k = 0; k < 8; ++k) {
      prefix = prefix << 8 | (k < host.size() ? static_cast<unsigned char>(host[k]) : 0u);
    }
    keys[i] = Key{prefix, static_cast<uint32_t>(i)};
  }
  std::sort(keys.begin(), keys.end(), [&rules](const Key& a, const Key& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    const int order = rules.host(a.position).compare(rules.host(b.position));
    return order != 0 ? order < 0 : a.position < b.position;
  });
  std::vector<uint32_t> positions(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) positions[i] = keys[i].position;
  return positions;
}

}  // namespace

std::vector<std::string> Agent::blockedApps() const {
  std::vector<std::string> apps;  // in sorted order: the rules are a sorted map
  const auto now = env_.now();
  for (const auto& [bundleId, rule] : policy_.apps) {
    if (Clock::shouldBlock(rule, minutesUsed(bundleId), now)) apps.push_back(bundleId);
  }
  return apps;
}

std::vector<std::string> Agent::currentlyBlocked() const {
  std::vector<std::string> apps = blockedApps();
  // The hosts the proxy blocks (DNSProxy::currentBlocked()) in sorted order. Sorting a million
  // hosts at every upload would cost about a second; their order is worked out once per set of
  // rules.
  const std::shared_ptr<const SiteIndex> rules = dns_->siteRules();
  std::vector<std::string> hosts;
  if (rules) {
    if (hostOrderRules_.lock() != rules) {
      hostOrder_ = positionsByHost(*rules);
      hostOrderRules_ = rules;
    }
    const DNSProxy::HostSet overCap = dns_->overCap();
    for (const uint32_t position : hostOrder_) {
      if (rules->blocks(position, overCap)) hosts.emplace_back(rules->host(position));
    }
  }
  std::vector<std::string> blocked;
  blocked.reserve(apps.size() + hosts.size());
  std::merge(std::make_move_iterator(apps.begin()), std::make_move_iterator(apps.end()),
             std::make_move_iterator(hosts.begin()), std::make_move_iterator(hosts.end()),
             std::back_inserter(blocked));
  return blocked;
}

Agent::ReportedBlocked Agent::reportedBlocked() const {
  const std::shared_ptr<const SiteIndex> rules = dns_->siteRules();
  if (rules && blockRuleCountRules_.lock() != rules) {
    blockRuleCount_ = 0;
    for (std::size_t i = 0; i < rules->size(); ++i) {
      blockRuleCount_ += rules->kind(i) == SiteAction::Kind::block;
    }
    blockRuleCountRules_ = rules;
  }
  if (!rules || blockRuleCount_ <= kReportedBlockHosts) return {currentlyBlocked(), std::nullopt};
  // Applications, and the hosts whose block depends on time or usage: the limit rules.
  std::vector<std::string> list = blockedApps();
  const DNSProxy::HostSet overCap = dns_->overCap();
  for (const uint32_t position : rules->limitPositions()) {
    if (rules->blocks(position, overCap)) list.emplace_back(rules->host(position));
  }
  std::sort(list.begin(), list.end());
  return {std::move(list), static_cast<int64_t>(blockRuleCount_)};
}

}  // namespace tether
