// The automation permission flow at launch.
#include "AppDelegate.h"
#include "Browser.h"

namespace tether {

const AppDelegate::Alert AppDelegate::kAllowSafariAlert{
    "Allow Safari control",
    "Click Continue, then click OK on the macOS dialog. Keep this app in the Dock until that "
    "dialog appears.",
    "Continue"};

const AppDelegate::Alert AppDelegate::kNotAskedAlert{
    "macOS did not ask",
    "Open System Settings \u2192 Privacy & Security \u2192 Automation. If Tether Tab Helper is "
    "listed under Safari, turn it on. If it is missing, quit Tether Tab Helper and open it again "
    "from Tether.",
    "OK"};

void AppDelegate::askForSafari() {
  if (desktop_.automationPermission(kSafari.bundleId, false) == Desktop::kPermissionGranted) {
    desktop_.setActivationPolicy(ActivationPolicy::Accessory);
    return;
  }
  const auto show = [this](const Alert& a) {
    desktop_.showAlert(a.message, a.informativeText, a.button);
  };
  show(kAllowSafariAlert);
  desktop_.activate();
  desktop_.runAppleScript(kSafariProbeScript);
  requestAutomation();
  if (desktop_.automationPermission(kSafari.bundleId, false) == Desktop::kPermissionGranted) {
    desktop_.setActivationPolicy(ActivationPolicy::Accessory);
  } else {
    show(kNotAskedAlert);  // the Dock icon stays, so the user can find the helper again
  }
}

void AppDelegate::requestAutomation() {
  for (const Browser* browser : {&kSafari, &kChrome}) {
    if (browser == &kChrome && !desktop_.isInstalled(browser->bundleId)) continue;
    desktop_.automationPermission(browser->bundleId, true);
  }
}

}  // namespace tether
