// The installer's system on macOS: the user's temporary folder, the administrator prompt of
// AppleScript's "do shell script", launchctl, and the workspace to open the tab helper.
#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>

#include <chrono>
#include <optional>

#include "QuietProcess.h"
#include "TetherAPIError.h"
#include "platform/InstallerPlatform.h"

namespace tether {

namespace {

// Runs the AppleScript; the text of its failure, nothing when it succeeded.
std::optional<QString> run(const QString& source) {
  @autoreleasepool {
    NSAppleScript* appleScript = [[NSAppleScript alloc] initWithSource:source.toNSString()];
    if (appleScript == nil) return QStringLiteral("could not build install script");
    NSDictionary<NSString*, id>* error = nil;
    [appleScript executeAndReturnError:&error];
    if (error == nil) return std::nullopt;
    id message = error[NSAppleScriptErrorMessage];
    if ([message isKindOfClass:[NSString class]]) return QString::fromNSString(message);
    return QStringLiteral("install failed");
  }
}

class MacInstallerPlatform final : public InstallerPlatform {
 public:
  // A folder of the user's own under /var/folders, mode 0700.
  QString temporaryDirectory() override {
    @autoreleasepool {
      return QString::fromNSString(NSTemporaryDirectory());
    }
  }

  void runAsAdministrator(const AdministratorScript& script) override {
    // Thrown outside the autorelease pool, which an exception would leave undrained.
    if (const std::optional<QString> failure = run(script.appleScriptSource))
      throw TetherAPIError(*failure);
  }

  bool isJobLoaded(const QString& label) override {
    using namespace std::chrono_literals;
    const auto status =
        QuietProcess::exitStatus(QStringLiteral("/bin/launchctl"),
                                 {QStringLiteral("print"), QStringLiteral("system/") + label}, 10s);
    return status == 0;
  }

  void openApplication(const QString& path) override {
    @autoreleasepool {
      [NSWorkspace.sharedWorkspace openURL:[NSURL fileURLWithPath:path.toNSString()]];
    }
  }
};

}  // namespace

std::unique_ptr<InstallerPlatform> InstallerPlatform::create() {
  return std::make_unique<MacInstallerPlatform>();
}

}  // namespace tether
