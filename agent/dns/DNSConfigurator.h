#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tether {

// Points every enabled network service at the local proxy through the system's networksetup
// tool, keeping the previous servers in "dns-backup.json" in the configuration folder until they
// are restored.
namespace DNSConfigurator {

inline constexpr const char* kTool = "/usr/sbin/networksetup";
inline constexpr const char* kBackupFile = "dns-backup.json";

void apply(const std::filesystem::path& configDirectory,
           const std::filesystem::path& tool = kTool);
void restore(const std::filesystem::path& configDirectory,
             const std::filesystem::path& tool = kTool);

}  // namespace DNSConfigurator
}  // namespace tether
