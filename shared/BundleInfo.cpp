#include "BundleInfo.h"

#include <plist/plist.h>

#include <memory>

namespace tether {

namespace {

std::optional<std::string> stringValue(plist_t dict, const char* key) {
  plist_t node = plist_dict_get_item(dict, key);
  if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  if (!text) return std::nullopt;
  return std::string(text, static_cast<std::size_t>(length));
}

}  // namespace

std::optional<BundleInfo> BundleInfo::load(const std::filesystem::path& infoPlist,
                                           SafeFile::Links links) {
  auto bytes = SafeFile::read(infoPlist, kMaxFileBytes, links);
  if (!bytes) return std::nullopt;
  return parse(*bytes);
}

std::optional<BundleInfo> BundleInfo::parse(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > kMaxFileBytes) return std::nullopt;
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  if (!root) return std::nullopt;
  std::unique_ptr<void, decltype(&plist_free)> owner(root, &plist_free);
  if (plist_get_node_type(root) != PLIST_DICT) return std::nullopt;
  auto identifier = stringValue(root, "CFBundleIdentifier");
  if (!identifier) return std::nullopt;
  return BundleInfo{std::move(*identifier), stringValue(root, "CFBundleDisplayName"),
                    stringValue(root, "CFBundleName")};
}

}  // namespace tether
