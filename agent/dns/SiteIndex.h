#pragma once

#include <string_view>
#include <vector>

#include "SiteRule.h"

namespace tether {

// The policy's site rules, prepared once per policy so that finding the winning rule for a name
// does not walk the whole list. Immutable once built; shared between the agent and the DNS
// proxy's thread.
class SiteIndex {
 public:
  explicit SiteIndex(std::vector<SiteRule> rules);

  // The same rule as SiteMatch::winning(host, rules()), or nullptr.
  const SiteRule* winning(std::string_view host) const;
  const std::vector<SiteRule>& rules() const { return rules_; }

 private:
  std::vector<SiteRule> rules_;
};

}  // namespace tether
