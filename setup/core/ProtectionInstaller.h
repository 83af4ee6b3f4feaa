#pragma once

#include <QString>

namespace tether {

// The installation of the protection as the pairing model uses it. DaemonInstaller does it on
// this computer; tests of the model pass fakes.
class ProtectionInstaller {
 public:
  virtual ~ProtectionInstaller() = default;

  // Writes the agent configuration, runs the install script as root and opens the tab helper.
  // Blocks while the administrator prompt and the script run. Throws TetherAPIError (or the
  // error of writing the configuration); what() is the text to show.
  virtual void install(const QString& serverURL, const QString& deviceToken, bool enableDNS) = 0;
  // Whether the agent's job is loaded. Never fails.
  virtual bool isLoaded() = 0;
  // Opens the tab helper, so that it can ask for control of Safari. Never fails.
  virtual void openTabHelper() = 0;
};

}  // namespace tether
