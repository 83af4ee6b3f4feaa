#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "Result.h"

namespace tether {

// The agent configuration file, config.json. All six keys are required.
struct AgentConfig {
  std::string serverURL;
  std::string deviceToken;
  double pollIntervalSeconds = 15;
  double sampleIntervalSeconds = 3;
  std::string upstreamDNS;
  bool enableDNS = false;

  // Anything larger is not a configuration file.
  static constexpr std::size_t kMaxFileBytes = 1024 * 1024;

  // Decodes the JSON text; the error names the offending key.
  static Result<AgentConfig> decode(std::string_view text);
  // Reads (a regular file of at most kMaxFileBytes), decodes and checks that serverURL and
  // deviceToken are not empty.
  static Result<AgentConfig> load(const std::filesystem::path& path);
};

}  // namespace tether
