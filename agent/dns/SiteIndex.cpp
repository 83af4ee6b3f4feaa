#include "SiteIndex.h"

#include "SiteMatch.h"

namespace tether {

SiteIndex::SiteIndex(std::vector<SiteRule> rules) : rules_(std::move(rules)) {}

const SiteRule* SiteIndex::winning(std::string_view host) const {
  // Placeholder: the linear rule until the hashed index lands.
  auto rule = SiteMatch::winning(host, rules_);
  if (!rule) return nullptr;
  for (const SiteRule& r : rules_) {
    if (r == *rule) return &r;
  }
  return nullptr;
}

}  // namespace tether
