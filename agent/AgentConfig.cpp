#include "AgentConfig.h"

#include "AgentError.h"
#include "JsonFields.h"
#include "SafeFile.h"

namespace tether {

Result<AgentConfig> AgentConfig::decode(std::string_view text) {
  using namespace JsonFields;
  try {
    const json doc = parse(text);
    requireObject(doc, "");
    AgentConfig c;
    c.serverURL = asString(require(doc, "serverURL", ""), "serverURL");
    c.deviceToken = asString(require(doc, "deviceToken", ""), "deviceToken");
    c.pollIntervalSeconds = asNumber(require(doc, "pollIntervalSeconds", ""), "pollIntervalSeconds");
    c.sampleIntervalSeconds =
        asNumber(require(doc, "sampleIntervalSeconds", ""), "sampleIntervalSeconds");
    c.upstreamDNS = asString(require(doc, "upstreamDNS", ""), "upstreamDNS");
    c.enableDNS = asBool(require(doc, "enableDNS", ""), "enableDNS");
    return c;
  } catch (const DecodeError& e) {
    return Result<AgentConfig>::failure(e.what());
  }
}

Result<AgentConfig> AgentConfig::load(const std::filesystem::path& path) {
  auto bytes = SafeFile::read(path, kMaxFileBytes);
  if (!bytes) return Result<AgentConfig>::failure(bytes.error());
  auto config = decode(*bytes);
  if (!config) return Result<AgentConfig>::failure(path.string() + ": " + config.error());
  if (config->serverURL.empty() || config->deviceToken.empty()) {
    return Result<AgentConfig>::failure(
        AgentError::config("serverURL and deviceToken are required").text());
  }
  return config;
}

}  // namespace tether
