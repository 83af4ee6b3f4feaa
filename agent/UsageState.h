#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "Result.h"

namespace tether {

// The day's usage, kept in memory by the agent and mirrored in "usage.json".
struct UsageState {
  std::string date;                       // local day stamp, yyyy-MM-dd
  std::map<std::string, double> minutes;  // bundle identifiers and site-rule hosts
  int64_t epoch = 0;                      // the parent's usage epoch already honoured

  static constexpr const char* kFileName = "usage.json";
  static constexpr std::size_t kMaxFileBytes = 1024 * 1024;

  static Result<UsageState> decode(std::string_view text);
  std::string encode() const;  // always writes all three keys

  bool operator==(const UsageState&) const = default;
};

}  // namespace tether
