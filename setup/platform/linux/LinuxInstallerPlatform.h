#pragma once

#include <optional>

#include "platform/InstallerPlatform.h"

namespace tether {

// The installer's system on Linux: the install script through pkexec (directly when already
// root), systemd's unit of the agent's label for launchd's job, and the tab helper's executable
// started on its own.
class LinuxInstallerPlatform final : public InstallerPlatform {
 public:
  QString temporaryDirectory() override;
  void runAsAdministrator(const AdministratorScript& script) override;
  bool isJobLoaded(const QString& label) override;
  void openApplication(const QString& path) override;

  // The executable of a bundle folder: NAME.app/Contents/MacOS/NAME.
  static QString executableOf(const QString& bundlePath);
  // Whether a process of this user runs an executable of a bundle with the same name (as the
  // system opening an application only brings a running copy forward).
  static bool isRunning(const QString& bundlePath);
  // Whether path is a folder (not a link) of this user's that nobody else may enter.
  static bool isPrivateFolder(const QString& path);

 private:
  std::optional<QString> privateFolder_;
};

}  // namespace tether
