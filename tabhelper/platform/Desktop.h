#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tether {

// Regular: an ordinary application with a Dock icon. Accessory: no Dock icon.
enum class ActivationPolicy { Regular, Accessory };

// What the tab helper asks of the computer: the user's session, the browsers through Apple
// Events, alerts and the application's place in the Dock. Texts are UTF-8. One implementation
// per operating system; everything is called on the main thread.
class Desktop {
 public:
  // The automation permission status that allows sending Apple Events; every other one refuses.
  static constexpr int32_t kPermissionGranted = 0;

  virtual ~Desktop() = default;

  // The frontmost application's bundle identifier: "" when there is no frontmost application or
  // it has none; nothing when the session cannot be observed at all (no display).
  virtual std::optional<std::string> frontmostBundleId() = 0;
  // Seconds since the session's last input event of any kind.
  virtual double secondsSinceLastInput() = 0;
  virtual bool isScreenLocked() = 0;
  // Compiles and runs AppleScript source synchronously: its result as text, or nothing when it
  // does not compile, fails, is refused or gives no text.
  virtual std::optional<std::string> runAppleScript(std::string_view source) = 0;
  // The status of sending any Apple Event (class and ID '****') to the application with this
  // bundle identifier; with askUser the system may ask the user first and waits for the answer.
  virtual int32_t automationPermission(std::string_view bundleId, bool askUser) = 0;
  // Whether an application with this bundle identifier is installed.
  virtual bool isInstalled(std::string_view bundleId) = 0;
  // A modal alert with one button; returns once it is dismissed.
  virtual void showAlert(std::string_view message, std::string_view informativeText,
                         std::string_view button) = 0;
  virtual void setActivationPolicy(ActivationPolicy policy) = 0;
  // Brings the application to the front, ignoring other applications.
  virtual void activate() = 0;

  // This computer's desktop.
  static std::unique_ptr<Desktop> create();
};

}  // namespace tether
