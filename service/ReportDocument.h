#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Result.h"

namespace tether {

// The usage report an agent uploads: "date", "minutes", "apps", "blockedNow", "timeZone" and
// "usageEpoch". Only "date" is required; the others take their empty values when absent or null.
// An agent whose policy blocks more hosts than it lists adds "blockedDomainCount", the number of
// blocked hosts of plain block rules that "blockedNow" leaves out; it is kept when present.
// Keys the service does not know are ignored, as the agent ignores unknown policy keys.
namespace ReportDocument {

struct Checked {
  std::string date;                 // yyyy-MM-dd
  std::string report;               // compact JSON with the six keys (seven with the count)
  std::optional<std::string> apps;  // the inventory as a JSON array, when the report carries one
};

// Refused, with a message naming the offending key: values of the wrong type, a date that is
// not a calendar date written yyyy-MM-dd, and negative or non-numeric minutes.
Result<Checked> check(std::string_view body);

}  // namespace ReportDocument
}  // namespace tether
