#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Result.h"
#include "dns/SiteRule.h"

namespace tether {

// One schedule window of an application rule.
struct TimeWindow {
  std::vector<int64_t> days;  // 1 = Monday ... 7 = Sunday
  std::string start;          // HH:MM
  std::string end;            // HH:MM
  std::string mode = "block";

  bool operator==(const TimeWindow&) const = default;
};

// The rule for one application, keyed by bundle identifier in the policy.
struct AppRule {
  std::vector<TimeWindow> windows;
  std::optional<int64_t> dailyLimitMinutes;

  bool operator==(const AppRule&) const = default;
};

// The parent's policy as the service sends it. Absent or null keys take their defaults; a value
// of the wrong type anywhere fails the whole decode.
struct Policy {
  int64_t rev = 0;
  std::map<std::string, AppRule> apps;
  std::vector<std::string> domains;
  std::map<std::string, int64_t> domainLimits;
  std::vector<std::string> domainAllow;
  std::vector<std::string> domainExact;
  int64_t usageEpoch = 0;

  // How the host lists (domains, domainAllow, domainExact) are read. A million names cost several
  // times their text as nodes of a document, so they are collected as the parser meets them;
  // taking them from the document is the plain way, kept as the reference that the collected
  // lists must equal (the same policy, or the same refusal).
  enum class HostLists { collected, fromDocument };

  static Result<Policy> decode(std::string_view text, HostLists hostLists = HostLists::collected);

  bool operator==(const Policy&) const = default;

  // The host rules: every block rule, then every limit rule, then every allow rule, each
  // covering its subtree unless its host is listed in domainExact.
  std::vector<SiteRule> siteRules() const;
};

}  // namespace tether
