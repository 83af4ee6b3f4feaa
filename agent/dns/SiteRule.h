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
