#include "NeverKill.h"

namespace tether::NeverKill {

const std::unordered_set<std::string>& bundleIDs() {
  static const std::unordered_set<std::string> ids = {
      "com.apple.loginwindow",       "com.apple.Finder",
      "com.apple.dock",              "com.apple.WindowServer",
      "com.apple.systemuiserver",    "com.apple.SecurityAgent",
      "com.apple.coreservices.uiagent", "com.apple.controlcenter",
      "com.apple.notificationcenterui",
  };
  return ids;
}

}  // namespace tether::NeverKill
