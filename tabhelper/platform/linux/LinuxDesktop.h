#pragma once

#include <memory>
#include <string>

#include "platform/Desktop.h"
#include "platform/linux/ScreenLock.h"
#include "platform/linux/X11Session.h"

class QMessageBox;

namespace tether {

// The desktop of a Linux session. The front application is the process behind the active X
// window, named by the application bundle its executable lies in, as the agent names processes.
// Apple Events have no counterpart here: scripts give nothing and permission is granted, so no
// permission alert appears. There is no Dock: activation does nothing.
class LinuxDesktop final : public Desktop {
 public:
  // Empty texts mean the session's own display and buses.
  struct Options {
    std::string display{};
    std::string systemBus{};
    std::string sessionBus{};
  };

  explicit LinuxDesktop(const Options& options);

  std::optional<std::string> frontmostBundleId() override;
  double secondsSinceLastInput() override;
  bool isScreenLocked() override { return screenLock_.isLocked(); }
  std::optional<std::string> runAppleScript(std::string_view) override { return std::nullopt; }
  int32_t automationPermission(std::string_view, bool) override { return kPermissionGranted; }
  // No application registry knows bundle identifiers here.
  bool isInstalled(std::string_view) override { return false; }
  void showAlert(std::string_view message, std::string_view informativeText,
                 std::string_view button) override;
  void setActivationPolicy(ActivationPolicy) override {}
  void activate() override {}

  // The alert showAlert runs, not yet shown.
  static std::unique_ptr<QMessageBox> makeAlert(std::string_view message,
                                                std::string_view informativeText,
                                                std::string_view button);

 private:
  X11Session x11_;
  ScreenLock screenLock_;
};

}  // namespace tether
