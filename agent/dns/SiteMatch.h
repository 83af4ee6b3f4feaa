#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "SiteRule.h"

namespace tether {

// Which site rule governs a host name.
namespace SiteMatch {

// Lower-case (the Unicode default lower-case mapping, code point by code point, whatever the
// process locale), strip leading and trailing dots, cut at the first "/", and cut a ":port"
// unless the text holds "]" (a bracketed IPv6 literal). Bytes that are not well-formed UTF-8 are
// kept as they are.
std::string normalize(std::string_view host);
// The same into a buffer that the caller reuses, so that a hot path allocates nothing.
void normalizeInto(std::string_view host, std::string& out);

// Non-empty pieces between dots.
std::size_t labelCount(std::string_view host);

// Whether the rule covers an already normalised host: the rule's host itself, and with
// includeSubtree every name that ends in "." followed by the rule's host.
bool covers(const SiteRule& rule, std::string_view normalizedHost);

// The rule over the normalised host: the covering rule with the most labels; at equal labels an
// exact rule beats a subtree rule; otherwise the earlier rule stays. This walks the whole list;
// SiteIndex gives the same answer without doing so.
std::optional<SiteRule> winning(std::string_view host, const std::vector<SiteRule>& rules);

}  // namespace SiteMatch
}  // namespace tether
