#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Result.h"

namespace tether {

// The policy document as the parent sets it and as the agent receives it.
//
// The service keeps the parent's part: compact JSON with exactly the keys "apps", "domains",
// "domainLimits", "domainAllow" and "domainExact". "rev" and "usageEpoch" belong to the service
// and are added when the document is served; in a body sent by the parent they are ignored, so a
// document read from the service can be edited and sent back as it is.
namespace PolicyDocument {

// Checks a policy sent by the parent and returns the form the service keeps, with every host in
// the form the agent enforces (HostName::stored: "*.Bücher.de" is kept as "xn--bcher-kva.de").
// Refused, with a message naming the offending key: anything the agent could not decode, unknown
// keys, days outside 1..7 or an empty day list, times that are not H:MM or HH:MM within
// 00:00..24:00, a mode other than "block", negative minutes, host names that could never match
// (HostName::stored), a wildcard among the exact hosts, and two limits for one stored host.
Result<std::string> normalize(std::string_view body);

// The document the agent receives: the kept part with the service's "rev" and "usageEpoch".
// A device without a policy gets the empty one.
std::string serve(int64_t rev, int64_t usageEpoch, const std::optional<std::string>& kept);

// A name for the served document that changes whenever a byte of it does: made from rev,
// usageEpoch and the digest of the kept part (empty for none), without the document itself.
// 32 hex digits.
std::string tag(int64_t rev, int64_t usageEpoch, std::string_view keptDigest);

}  // namespace PolicyDocument
}  // namespace tether
