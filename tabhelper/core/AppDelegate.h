#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "SupportFolder.h"
#include "TabState.h"
#include "platform/Desktop.h"

namespace tether {

// The tab helper: once launched it runs the automation permission flow, then every 2 seconds
// writes what the user's front browser tab shows to the snapshot file and carries out the
// agent's latest request. Lives on the main thread, which runs everything it does.
class AppDelegate {
 public:
  static constexpr std::chrono::milliseconds kTickInterval{2000};

  // What a browser's query script said of its front tab.
  struct FrontTab {
    std::optional<std::string> host;
    bool privateBrowsing = false;
  };

  // A permission alert's texts.
  struct Alert {
    std::string_view message, informativeText, button;
  };
  static const Alert kAllowSafariAlert;
  static const Alert kNotAskedAlert;

  // Test seams; the program uses the defaults.
  struct Options {
    // Holds the "state" folder with both files.
    std::filesystem::path supportDir = SupportFolder::kPath;
    std::function<double()> now = systemNow;
    std::chrono::milliseconds tickInterval = kTickInterval;
  };

  explicit AppDelegate(Desktop& desktop);
  AppDelegate(Desktop& desktop, Options options);
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  // Brings the helper to the front and queues the permission flow and then the ticking on the
  // event loop; the queued work is dropped if the delegate is gone by then.
  void applicationDidFinishLaunching();
  bool isTicking() const { return timer_ != nullptr; }

  // One tick: read the tab, write the snapshot, apply the agent's request. When the session
  // cannot be observed nothing is written (the agent then treats the helper as absent).
  void tick();
  std::optional<TabSnapshot> readTab();
  void applyEnforce(const TabSnapshot& snapshot);

  // The permission flow: asks for control of Safari (and Chrome) unless it is already allowed.
  void askForSafari();
  void requestAutomation();

  static FrontTab parseScript(const std::optional<std::string>& result);
  // The address's host in ASCII (an international name as "xn--" labels), lower case, without
  // port; nothing for an empty, blank or unparsable address, or one without a host.
  static std::optional<std::string> hostFromURL(std::string_view url);

  // Seconds since 1970 by the system clock.
  static double systemNow();

 private:
  void startTicking();

  Desktop& desktop_;
  const std::filesystem::path tabURL_, enforceURL_;
  const std::function<double()> now_;
  const std::chrono::milliseconds tickInterval_;
  // Receiver of the queued launch work and the timer's ticks: both end with the delegate.
  QObject receiver_;
  std::unique_ptr<QTimer> timer_;
};

}  // namespace tether
