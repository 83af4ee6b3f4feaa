#pragma once

#include <QByteArray>
#include <QString>
#include <memory>
#include <optional>

#include "ProtectionInstaller.h"
#include "platform/InstallerPlatform.h"
#include "platform/MainBundle.h"

namespace tether {

// Turns a paired device into an installed protection: finds the agent, the install script and
// the tab helper inside the app's bundle, writes the agent configuration, runs the script as
// root, checks the agent's job and opens the tab helper. Keeps no state between calls.
class DaemonInstaller final : public ProtectionInstaller {
 public:
  static inline const QString kAgentName = QStringLiteral("KinwardAgent");
  static inline const QString kScriptName = QStringLiteral("install-daemon");
  static inline const QString kScriptExtension = QStringLiteral("sh");
  static inline const QString kTabHelperName = QStringLiteral("TetherTabHelper.app");
  static inline const QString kInstalledTabHelper =
      QStringLiteral("/Library/Application Support/VorozuzIrovidar/TetherTabHelper.app");
  static inline const QString kJobLabel = QStringLiteral("riz.edarodorizavive.derez");
  static inline const QString kConfigFileName = QStringLiteral("tether-config.json");

  // installedTabHelper: where the install script puts the tab helper (tests name another place).
  DaemonInstaller(std::shared_ptr<const MainBundle> bundle,
                  std::shared_ptr<InstallerPlatform> platform,
                  QString installedTabHelper = kInstalledTabHelper);

  // Fails with "KinwardAgent is missing from this app bundle", "install script is missing from
  // this app bundle", the error of writing the configuration, or the administrator run's error;
  // opens the tab helper only after the script succeeded.
  void install(const QString& serverURL, const QString& deviceToken, bool enableDNS) override;
  bool isLoaded() override;
  // The tab helper of the bundle, else the installed one when it exists, else nothing.
  void openTabHelper() override;

  // The agent: the bundle's auxiliary executable "KinwardAgent", else its resource of that name.
  std::optional<QString> helperURL() const;
  std::optional<QString> installScriptURL() const;
  // The first "TetherTabHelper.app" met walking the bundle's Contents folder at every depth,
  // symbolic links neither followed nor taken.
  std::optional<QString> tabHelperURL() const;

  // Writes the configuration to "tether-config.json" in the platform's private temporary folder
  // (readable by this user only, replaced atomically) and returns its path.
  QString writeConfig(const QString& serverURL, const QString& deviceToken, bool enableDNS) const;
  // Runs the script as root with the agent, the configuration and, when there is one, the tab
  // helper as its arguments.
  void runPrivileged(const QString& script, const QString& helper, const QString& config,
                     const std::optional<QString>& tabHelper);

  // The agent configuration: its six keys, sorted, pretty-printed; serverURL without any "/" at
  // either end, 15 and 3 seconds, upstream 1.1.1.1.
  static QByteArray configJSON(const QString& serverURL, const QString& deviceToken,
                               bool enableDNS);
  // path in single quotes, each single quote inside written '\'' .
  static QString shellQuoted(const QString& path);
  // "bash SCRIPT HELPER CONFIG [TABHELPER]", each path quoted.
  static QString commandLine(const QString& script, const QString& helper, const QString& config,
                             const std::optional<QString>& tabHelper);
  // text inside an AppleScript string literal: backslashes doubled first, then double quotes
  // escaped.
  static QString appleScriptEscaped(const QString& text);
  // do shell script "..." with administrator privileges
  static QString appleScriptSource(const QString& commandLine);

 private:
  std::shared_ptr<const MainBundle> bundle_;
  std::shared_ptr<InstallerPlatform> platform_;
  QString installedTabHelper_;
};

}  // namespace tether
