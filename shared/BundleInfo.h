#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tether {

// What the agent reads from an application bundle's Info.plist (XML or binary).
struct BundleInfo {
  std::string identifier;                  // CFBundleIdentifier
  std::optional<std::string> displayName;  // CFBundleDisplayName, when it is text
  std::optional<std::string> name;         // CFBundleName, when it is text

  // Anything larger is not an Info.plist.
  static constexpr std::size_t kMaxFileBytes = 4 * 1024 * 1024;

  // Nothing when the file cannot be read (missing, too large, not a regular file, or a symbolic
  // link: bundles may lie in folders any user can write), is not a property-list dictionary, or
  // has no text CFBundleIdentifier.
  static std::optional<BundleInfo> load(const std::filesystem::path& infoPlist);
};

}  // namespace tether
