#pragma once

#include <cstdint>
#include <string>

namespace tether {

// What applies to a host that a site rule covers.
struct SiteAction {
  enum class Kind { limit, allow, block };
  Kind kind = Kind::block;
  int64_t minutes = 0;  // only for limit

  static SiteAction limit(int64_t minutes) { return {Kind::limit, minutes}; }
  static SiteAction allow() { return {Kind::allow, 0}; }
  static SiteAction block() { return {Kind::block, 0}; }

  // How a limit of 0 minutes or fewer is taken: the DNS proxy blocks a limit of 0 at once and
  // leaves a negative one to the set of hosts over their limit; the front tab leaves every limit
  // of 0 or fewer at once, as nothing of it can be used.
  enum class NonPositiveLimit { zeroBlocks, zeroOrBelowBlocks };

  // Whether a rule with this action blocks the names it covers now: a block rule always, an
  // allow rule never, a limit at once as `nonPositive` says and otherwise once usedUp() tells
  // that its minutes are spent (usedUp is asked only then).
  template <class UsedUp>
  bool blocksNow(NonPositiveLimit nonPositive, UsedUp&& usedUp) const {
    switch (kind) {
      case Kind::block:
        return true;
      case Kind::allow:
        return false;
      case Kind::limit:
        if (minutes == 0 || (minutes < 0 && nonPositive == NonPositiveLimit::zeroOrBelowBlocks)) {
          return true;
        }
        return usedUp();
    }
    return false;
  }
  // Whether minutes used reach a limit's minutes (equality counts).
  bool spentBy(double minutesUsed) const { return minutesUsed >= static_cast<double>(minutes); }

  bool operator==(const SiteAction& o) const {
    return kind == o.kind && (kind != Kind::limit || minutes == o.minutes);
  }
};

// One host rule derived from the policy's domain lists. The host is kept exactly as the policy
// gives it.
struct SiteRule {
  std::string host;
  bool includeSubtree = true;
  SiteAction action;

  bool operator==(const SiteRule&) const = default;
};

}  // namespace tether
