#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

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

// The served document without its "domains" list, which may hold a million names: the other keys
// as they are and "domainCount", the number of blocked names.
std::string outline(int64_t rev, int64_t usageEpoch, const std::optional<std::string>& kept);

// The blocked names of the kept part that contain text (all of them for empty text), in list
// order: {"total": names in the list, "matches": names that contain text, "domains": the first
// `limit` of them}.
std::string searchDomains(const std::optional<std::string>& kept, std::string_view text,
                          std::size_t limit);

// A change to the kept part, so that a parent can edit a policy whose blocked list is too long to
// send back and forth: "apps", "domainLimits", "domainAllow" and "domainExact" replace the kept
// ones when present; "domainsCleared": true empties the blocked list, "domainsRemoved" takes names
// out of it and "domainsAdded" appends names not yet in it (in that order). Names are checked and
// stored as by normalize(), and the list keeps each name once. Refused like normalize(), naming
// the key. Returns the new kept part.
// change: the request's JSON object (its "rev", the revision the parent edited, is the caller's).
Result<std::string> edit(const std::optional<std::string>& kept, const nlohmann::json& change);

}  // namespace PolicyDocument
}  // namespace tether
