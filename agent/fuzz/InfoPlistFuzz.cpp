// Fuzz target: Info.plist contents (XML, binary or any other form the property-list reader
// takes), which a user can put in any bundle. What is read survives a trip through an XML
// property list of its own.
#include <plist/plist.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "BundleInfo.h"
#include "FuzzCheck.h"

namespace {

std::string asXml(const tether::BundleInfo& info) {
  plist_t dict = plist_new_dict();
  plist_dict_set_item(dict, "CFBundleIdentifier", plist_new_string(info.identifier.c_str()));
  if (info.displayName) {
    plist_dict_set_item(dict, "CFBundleDisplayName", plist_new_string(info.displayName->c_str()));
  }
  if (info.name) plist_dict_set_item(dict, "CFBundleName", plist_new_string(info.name->c_str()));
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(dict, &xml, &length);
  std::string text(xml ? xml : "", length);
  plist_to_xml_free(xml);
  plist_free(dict);
  return text;
}

bool hasNul(const std::string& text) { return text.find('\0') != std::string::npos; }
bool hasNul(const std::optional<std::string>& text) { return text && hasNul(*text); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tether::BundleInfo;
  const auto info = BundleInfo::parse(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!info) return 0;
  // Texts with NUL bytes cannot go through the C strings of the writer.
  if (hasNul(info->identifier) || hasNul(info->displayName) || hasNul(info->name)) return 0;
  const auto again = BundleInfo::parse(asXml(*info));
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(again->identifier == info->identifier && again->displayName == info->displayName &&
             again->name == info->name);
  return 0;
}
