#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/Desktop.h"

namespace tether::test {

// A desktop made up by the test that records every call, in order.
class FakeDesktop : public Desktop {
 public:
  std::optional<std::string> front = "com.apple.Finder";
  double idle = 3.5;
  bool locked = false;
  std::map<std::string, std::string, std::less<>> scriptResults;  // by source; others fail
  int32_t safariPermission = kPermissionGranted;
  std::optional<int32_t> safariPermissionOnceAsked;  // what the user chooses when asked
  std::set<std::string, std::less<>> installed;
  std::vector<std::string> calls;

  std::vector<std::string> scriptsRun() const {
    std::vector<std::string> scripts;
    for (const auto& call : calls) {
      if (call.starts_with("script ")) scripts.push_back(call.substr(7));
    }
    return scripts;
  }

  std::optional<std::string> frontmostBundleId() override {
    calls.push_back("front");
    return front;
  }
  double secondsSinceLastInput() override {
    calls.push_back("idle");
    return idle;
  }
  bool isScreenLocked() override {
    calls.push_back("locked");
    return locked;
  }
  std::optional<std::string> runAppleScript(std::string_view source) override {
    calls.push_back("script " + std::string(source));
    const auto it = scriptResults.find(source);
    return it != scriptResults.end() ? std::optional(it->second) : std::nullopt;
  }
  int32_t automationPermission(std::string_view bundleId, bool askUser) override {
    calls.push_back("permission " + std::string(bundleId) + (askUser ? " ask" : ""));
    if (bundleId != "com.apple.Safari") return -1743;
    if (askUser && safariPermissionOnceAsked) safariPermission = *safariPermissionOnceAsked;
    return safariPermission;
  }
  bool isInstalled(std::string_view bundleId) override {
    calls.push_back("installed " + std::string(bundleId));
    return installed.contains(bundleId);
  }
  void showAlert(std::string_view message, std::string_view informativeText,
                 std::string_view button) override {
    calls.push_back("alert " + std::string(message) + " | " + std::string(informativeText) + " | " +
                    std::string(button));
  }
  void setActivationPolicy(ActivationPolicy policy) override {
    calls.push_back(policy == ActivationPolicy::Regular ? "regular" : "accessory");
  }
  void activate() override { calls.push_back("activate"); }
};

}  // namespace tether::test
