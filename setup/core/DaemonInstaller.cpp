#include "DaemonInstaller.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <cstring>

#include "SafeFile.h"
#include "TetherAPIError.h"

namespace tether {

DaemonInstaller::DaemonInstaller(std::shared_ptr<const MainBundle> bundle,
                                 std::shared_ptr<InstallerPlatform> platform,
                                 QString installedTabHelper)
    : bundle_(std::move(bundle)),
      platform_(std::move(platform)),
      installedTabHelper_(std::move(installedTabHelper)) {}

void DaemonInstaller::install(const QString& serverURL, const QString& deviceToken,
                              bool enableDNS) {
  const std::optional<QString> helper = helperURL();
  if (!helper) throw TetherAPIError(QStringLiteral("KinwardAgent is missing from this app bundle"));
  const std::optional<QString> script = installScriptURL();
  if (!script)
    throw TetherAPIError(QStringLiteral("install script is missing from this app bundle"));
  const QString config = writeConfig(serverURL, deviceToken, enableDNS);
  runPrivileged(*script, *helper, config, tabHelperURL());
  openTabHelper();
}

bool DaemonInstaller::isLoaded() {
  return platform_->isJobLoaded(kJobLabel);
}

void DaemonInstaller::openTabHelper() {
  if (const std::optional<QString> inBundle = tabHelperURL()) {
    platform_->openApplication(*inBundle);
  } else if (QFileInfo::exists(installedTabHelper_)) {
    platform_->openApplication(installedTabHelper_);
  }
}

std::optional<QString> DaemonInstaller::helperURL() const {
  if (auto auxiliary = bundle_->auxiliaryExecutable(kAgentName)) return auxiliary;
  return bundle_->resource(kAgentName, QString());
}

std::optional<QString> DaemonInstaller::installScriptURL() const {
  return bundle_->resource(kScriptName, kScriptExtension);
}

std::optional<QString> DaemonInstaller::tabHelperURL() const {
  QDirIterator walk(bundle_->contentsPath(),
                    QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
  while (walk.hasNext()) {
    walk.next();
    const QFileInfo entry = walk.fileInfo();
    if (entry.fileName() == kTabHelperName && entry.isDir() && !entry.isSymLink())
      return entry.filePath();
  }
  return std::nullopt;
}

QString DaemonInstaller::writeConfig(const QString& serverURL, const QString& deviceToken,
                                     bool enableDNS) const {
  const QString path = QDir(platform_->temporaryDirectory()).filePath(kConfigFileName);
  // It holds the device token: readable by this user alone.
  if (!SafeFile::writeAtomically(
          path.toStdString(), configJSON(serverURL, deviceToken, enableDNS).toStdString(), 0600)) {
    const int error = errno;
    throw TetherAPIError(QStringLiteral("could not write %1: %2")
                             .arg(path, QString::fromLocal8Bit(std::strerror(error))));
  }
  return path;
}

void DaemonInstaller::runPrivileged(const QString& script, const QString& helper,
                                    const QString& config,
                                    const std::optional<QString>& tabHelper) {
  const QString command = commandLine(script, helper, config, tabHelper);
  platform_->runAsAdministrator({command, appleScriptSource(command)});
}

QByteArray DaemonInstaller::configJSON(const QString& serverURL, const QString& deviceToken,
                                       bool enableDNS) {
  qsizetype first = 0;
  qsizetype last = serverURL.size();
  while (first < last && serverURL[first] == u'/') ++first;
  while (last > first && serverURL[last - 1] == u'/') --last;
  // QJsonObject keeps its keys sorted.
  const QJsonObject config{
      {QStringLiteral("serverURL"), serverURL.mid(first, last - first)},
      {QStringLiteral("deviceToken"), deviceToken},
      {QStringLiteral("pollIntervalSeconds"), 15},
      {QStringLiteral("sampleIntervalSeconds"), 3},
      {QStringLiteral("upstreamDNS"), QStringLiteral("1.1.1.1")},
      {QStringLiteral("enableDNS"), enableDNS},
  };
  return QJsonDocument(config).toJson(QJsonDocument::Indented);
}

QString DaemonInstaller::shellQuoted(const QString& path) {
  QString quoted = path;
  quoted.replace(u'\'', QStringLiteral("'\\''"));
  return u'\'' + quoted + u'\'';
}

QString DaemonInstaller::commandLine(const QString& script, const QString& helper,
                                     const QString& config,
                                     const std::optional<QString>& tabHelper) {
  QString line = QStringLiteral("bash ") + shellQuoted(script) + u' ' + shellQuoted(helper) + u' ' +
                 shellQuoted(config);
  if (tabHelper) line += u' ' + shellQuoted(*tabHelper);
  return line;
}

QString DaemonInstaller::appleScriptEscaped(const QString& text) {
  QString escaped = text;
  escaped.replace(u'\\', QStringLiteral("\\\\"));
  escaped.replace(u'"', QStringLiteral("\\\""));
  return escaped;
}

QString DaemonInstaller::appleScriptSource(const QString& commandLine) {
  return QStringLiteral("do shell script \"") + appleScriptEscaped(commandLine) +
         QStringLiteral("\" with administrator privileges");
}

}  // namespace tether
