#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tether {

// The machine's current time zone as an IANA identifier, as the usage report names it. One
// implementation per operating system.
namespace TimeZone {

// The zone that local time follows right now, for example "Europe/Berlin"; "UTC" when the
// system names none.
std::string currentIdentifier();

// The zone name in a TZ value or a zone file's path: ":Europe/Berlin", "Europe/Berlin" and
// "/usr/share/zoneinfo/Europe/Berlin" all give "Europe/Berlin". Nothing for text that cannot be
// a zone name (an empty text, a path outside a zoneinfo folder, "..", spaces, a POSIX rule with
// a comma).
inline std::optional<std::string> nameFrom(std::string_view text) {
  if (text.starts_with(':')) text.remove_prefix(1);
  constexpr std::string_view kFolder = "zoneinfo/";
  if (const auto at = text.rfind(kFolder); at != std::string_view::npos) {
    text.remove_prefix(at + kFolder.size());
  } else if (text.starts_with('/')) {
    return std::nullopt;
  }
  if (text.empty() || text.find("..") != std::string_view::npos || text.starts_with('/') ||
      text.ends_with('/')) {
    return std::nullopt;
  }
  for (const char c : text) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '/' || c == '_' || c == '-' || c == '+' || c == '.';
    if (!ok) return std::nullopt;
  }
  return std::string(text);
}

}  // namespace TimeZone
}  // namespace tether
