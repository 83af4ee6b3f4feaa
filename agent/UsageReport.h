#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tether {

// One installed application bundle.
struct InstalledApp {
  std::string name;
  std::string bundleId;

  bool operator==(const InstalledApp&) const = default;
};

// The body of the usage upload. All six keys are always written; blockedDomainCount when set.
struct UsageReport {
  std::string date;
  std::map<std::string, double> minutes;  // rounded to one decimal
  std::vector<InstalledApp> apps;         // empty unless the inventory is carried
  std::vector<std::string> blockedNow;    // sorted
  std::string timeZone;
  int64_t usageEpoch = 0;
  // The number of blocked hosts of plain block rules left out of blockedNow, when some are.
  std::optional<int64_t> blockedDomainCount;

  std::string encode() const;
};

}  // namespace tether
