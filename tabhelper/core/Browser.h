#pragma once

#include <string_view>

namespace tether {

// A browser whose front tab the helper reads and steers through Apple Events, with its scripts.
// Each script is sent byte for byte as written here.
struct Browser {
  std::string_view bundleId;
  // Answers "none" (no window, or the tab could not be read), "private", or "url|" and the
  // front tab's address.
  std::string_view queryScript;
  std::string_view closeScript;  // closes the front window
  std::string_view blankScript;  // sends the front tab to "about:blank"

  // Safari or Google Chrome by exact bundle identifier; nothing for any other application.
  static const Browser* withBundleId(std::string_view bundleId);
};

// Safari gives no address for a private tab, so a front tab without one counts as private.
inline constexpr Browser kSafari{
    "com.apple.Safari",
    R"script(tell application "Safari"
  if (count of windows) is 0 then return "none"
  try
    set u to URL of current tab of front window
    if u is missing value then return "private"
    return "url|" & u
  on error
    return "none"
  end try
end tell)script",
    R"script(tell application "Safari" to close front window)script",
    R"script(tell application "Safari" to set URL of current tab of front window to "about:blank")script"};

// In Chrome's dictionary the mode ("normal" or "incognito") belongs to the window, not the tab.
inline constexpr Browser kChrome{
    "com.google.Chrome",
    R"script(tell application "Google Chrome"
  if (count of windows) is 0 then return "none"
  try
    set t to active tab of front window
    if (mode of front window as string) is "incognito" then return "private"
    return "url|" & (URL of t as string)
  on error
    return "none"
  end try
end tell)script",
    R"script(tell application "Google Chrome" to close front window)script",
    R"script(tell application "Google Chrome" to set URL of active tab of front window to "about:blank")script"};

// The first Apple Event to Safari, which makes the system ask the user for permission.
inline constexpr std::string_view kSafariProbeScript =
    R"script(tell application "Safari" to get name)script";

inline const Browser* Browser::withBundleId(std::string_view bundleId) {
  if (bundleId == kSafari.bundleId) return &kSafari;
  if (bundleId == kChrome.bundleId) return &kChrome;
  return nullptr;
}

}  // namespace tether
