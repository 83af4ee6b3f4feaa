// The updater where Sparkle is not built in (Linux, or a macOS build without its framework):
// checking for updates does nothing.
#include "platform/UpdateController.h"

namespace tether {

namespace {

class StandInUpdateController final : public UpdateController {
 public:
  void checkForUpdates() override {}
};

}  // namespace

std::unique_ptr<UpdateController> UpdateController::create() {
  return std::make_unique<StandInUpdateController>();
}

}  // namespace tether
