#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "SafeFile.h"

namespace tether {

// What the agent reads from an application bundle's Info.plist (XML or binary).
struct BundleInfo {
  std::string identifier;                  // CFBundleIdentifier
  std::optional<std::string> displayName;  // CFBundleDisplayName, when it is text
  std::optional<std::string> name;         // CFBundleName, when it is text

  // Anything larger is not an Info.plist: real ones are a few KiB, and bundles may lie in folders
  // the child controls, so every byte here is parsed on the agent's behalf.
  static constexpr std::size_t kMaxFileBytes = 256 * 1024;

  // Nothing when the bytes are not a property-list dictionary with a text CFBundleIdentifier.
  static std::optional<BundleInfo> parse(std::string_view bytes);
  // The same for a file, or nothing when it cannot be read: missing, over kMaxFileBytes, not a
  // regular file, or reached through a symbolic link that `links` refuses. By default no
  // component of the path may be a link: bundles may lie in folders any user can write, where a
  // link could lead the reader anywhere, or to the same large file again and again.
  static std::optional<BundleInfo> load(const std::filesystem::path& infoPlist,
                                        SafeFile::Links links = SafeFile::Links::RefuseAny);
};

}  // namespace tether
