#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "SiteRule.h"

namespace tether {

// Which site rule governs a host name.
namespace SiteMatch {

// Lower-case, strip leading and trailing dots, cut at the first "/", and cut a ":port" unless
// the text holds "]" (a bracketed IPv6 literal).
std::string normalize(std::string_view host);

// Non-empty pieces between dots.
std::size_t labelCount(std::string_view host);

// The rule over the normalised host: the covering rule with the most labels; at equal labels an
// exact rule beats a subtree rule; otherwise the earlier rule stays. This walks the whole list;
// SiteIndex gives the same answer without doing so.
std::optional<SiteRule> winning(std::string_view host, const std::vector<SiteRule>& rules);

}  // namespace SiteMatch
}  // namespace tether
