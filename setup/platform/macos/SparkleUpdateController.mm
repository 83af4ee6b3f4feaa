// The updater on macOS: Sparkle's standard updater controller, loaded from the app bundle. Its
// feed address and public key are in the bundle's Info.plist (SUFeedURL, SUPublicEDKey).
#import <Sparkle/Sparkle.h>

#include "platform/UpdateController.h"

namespace tether {

namespace {

class SparkleUpdateController final : public UpdateController {
 public:
  SparkleUpdateController()
      : controller_([[SPUStandardUpdaterController alloc] initWithStartingUpdater:YES
                                                                  updaterDelegate:nil
                                                               userDriverDelegate:nil]) {}

  void checkForUpdates() override { [controller_ checkForUpdates:nil]; }

 private:
  SPUStandardUpdaterController* controller_;
};

}  // namespace

std::unique_ptr<UpdateController> UpdateController::create() {
  return std::make_unique<SparkleUpdateController>();
}

}  // namespace tether
