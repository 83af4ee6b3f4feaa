#pragma once

#include <memory>

namespace tether {

// The app's updater, created once per run and shared by its windows.
class UpdateController {
 public:
  virtual ~UpdateController() = default;

  virtual void checkForUpdates() = 0;

  // macOS built with Sparkle: Sparkle's standard updater controller, started at once. Otherwise
  // (Linux, or a macOS build without Sparkle) a stand-in that does nothing visible.
  static std::unique_ptr<UpdateController> create();
};

}  // namespace tether
