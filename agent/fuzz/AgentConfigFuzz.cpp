// Fuzz target: the configuration file. A configuration is accepted only with all six keys of the
// right types, as a plain look at the parsed document tells; a refusal names its reason.
#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

#include "AgentConfig.h"
#include "FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto config = tether::AgentConfig::decode(text);
  if (!config) {
    FUZZ_CHECK(!config.error().empty());
    return 0;
  }
  const auto doc = nlohmann::json::parse(text, nullptr, false);
  FUZZ_CHECK(doc.is_object());
  FUZZ_CHECK(doc.at("serverURL") == config->serverURL);
  FUZZ_CHECK(doc.at("deviceToken") == config->deviceToken);
  FUZZ_CHECK(doc.at("upstreamDNS") == config->upstreamDNS);
  FUZZ_CHECK(doc.at("enableDNS") == config->enableDNS);
  FUZZ_CHECK(doc.at("pollIntervalSeconds").is_number());
  FUZZ_CHECK(doc.at("sampleIntervalSeconds").is_number());
  return 0;
}
