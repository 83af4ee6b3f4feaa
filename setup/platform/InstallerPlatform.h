#pragma once

#include <QString>
#include <memory>

namespace tether {

// What the protection installer asks of the operating system beyond its own bundle.
class InstallerPlatform {
 public:
  // One run of the install script as root: the shell command line, and the same command as the
  // AppleScript source that macOS runs.
  struct AdministratorScript {
    QString commandLine;
    QString appleScriptSource;
  };

  virtual ~InstallerPlatform() = default;

  // A folder of this user's that no other user can enter, for the configuration handed to the
  // install script. Throws TetherAPIError when there is none.
  virtual QString temporaryDirectory() = 0;
  // Runs the script as root after the system's administrator prompt and blocks until it ends.
  // Throws TetherAPIError: "could not build install script" when the script cannot be built, the
  // system's text (what the script wrote on standard error, or the prompt's refusal) when the
  // run fails, "install failed" when there is no such text.
  virtual void runAsAdministrator(const AdministratorScript& script) = 0;
  // Whether the system's service manager has the job label loaded; false when it cannot tell
  // within 10 seconds.
  virtual bool isJobLoaded(const QString& label) = 0;
  // Opens the application bundle at path; whether that worked is not reported.
  virtual void openApplication(const QString& path) = 0;

  // macOS: the user's temporary folder, NSAppleScript, launchctl, NSWorkspace. Linux: the
  // runtime folder, pkexec (or nothing when already root), systemctl, the bundle's executable
  // started on its own.
  static std::unique_ptr<InstallerPlatform> create();
};

}  // namespace tether
