#include "UsageReport.h"

#include <nlohmann/json.hpp>

namespace tether {

std::string UsageReport::encode() const {
  nlohmann::json appList = nlohmann::json::array();
  for (const auto& app : apps) appList.push_back({{"name", app.name}, {"bundleId", app.bundleId}});
  nlohmann::json j = {{"date", date},         {"minutes", minutes},
                      {"apps", appList},      {"blockedNow", blockedNow},
                      {"timeZone", timeZone}, {"usageEpoch", usageEpoch}};
  // Invalid UTF-8 in a name read from a bundle is replaced rather than failing the upload.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace tether
