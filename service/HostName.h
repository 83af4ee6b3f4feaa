#pragma once

#include <string>
#include <string_view>

#include "Result.h"

namespace tether {

// Host names of site rules in the form the agent enforces them. The agent compares a rule's host
// with the names browsers look up, unchanged: those are lower case and in ASCII, international
// labels written in their "xn--" form. A host a parent writes is stored that way, or refused when
// no looked-up name could ever equal it.
namespace HostName {

// The stored form of a rule host:
// - a leading "*." is dropped (a rule covers its subdomains already);
// - ASCII letters are lower-cased;
// - a label with other letters is mapped as browsers do (UTS #46, non-transitional, then
//   IDNA2008 through libidn2): "Bücher" becomes "xn--bcher-kva"; the ideographic and full-width
//   full stops separate labels as "." does.
// Refused, with the reason as it follows the host ("is empty", "has an empty label"): an empty name
// or label (also a leading or trailing dot), a label of more than 63 bytes, a name of more than
// 253, a space, and any character a DNS host name cannot hold (only letters, digits, "-" and "_"
// remain once mapped).
Result<std::string> stored(std::string_view host);

}  // namespace HostName
}  // namespace tether
