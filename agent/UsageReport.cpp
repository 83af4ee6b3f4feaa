#include "UsageReport.h"

#include <nlohmann/json.hpp>

namespace tether {

namespace {

// Invalid UTF-8 in a name read from a bundle is replaced rather than failing the upload.
std::string dump(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

std::string UsageReport::encode() const {
  nlohmann::json appList = nlohmann::json::array();
  for (const auto& app : apps) appList.push_back({{"name", app.name}, {"bundleId", app.bundleId}});
  // The blocked list can hold a million hosts; it is written name by name rather than built as a
  // document first, which would cost several times its text. The keys stay in sorted order.
  std::string text = "{\"apps\":" + dump(appList) + ",\"blockedNow\":[";
  nlohmann::json name = "";
  for (std::size_t i = 0; i < blockedNow.size(); ++i) {
    if (i > 0) text += ',';
    name.get_ref<std::string&>() = blockedNow[i];
    text += dump(name);
  }
  text += "]";
  if (blockedDomainCount) text += ",\"blockedDomainCount\":" + dump(*blockedDomainCount);
  text += ",\"date\":" + dump(date) + ",\"minutes\":" + dump(minutes) +
          ",\"timeZone\":" + dump(timeZone) + ",\"usageEpoch\":" + dump(usageEpoch) + "}";
  return text;
}

}  // namespace tether
