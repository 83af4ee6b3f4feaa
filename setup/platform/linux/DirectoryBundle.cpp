#include "DirectoryBundle.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace tether {

DirectoryBundle::DirectoryBundle(QString bundlePath) : path_(std::move(bundlePath)) {}

QString DirectoryBundle::bundleOfExecutable(const QString& executableFolder) {
  QDir folder(executableFolder);
  if (folder.dirName() == QLatin1String("MacOS") && folder.cdUp() &&
      folder.dirName() == QLatin1String("Contents") && folder.cdUp() &&
      folder.dirName().endsWith(QLatin1String(".app"))) {
    return folder.path();
  }
  return executableFolder;
}

QString DirectoryBundle::contentsPath() const {
  return QDir(path_).filePath(QStringLiteral("Contents"));
}

std::optional<QString> DirectoryBundle::auxiliaryExecutable(const QString& name) const {
  const QFileInfo file(QDir(contentsPath()).filePath(QStringLiteral("MacOS/") + name));
  if (file.isFile() && file.isExecutable()) return file.filePath();
  return std::nullopt;
}

std::optional<QString> DirectoryBundle::resource(const QString& name,
                                                 const QString& extension) const {
  const QString fileName = extension.isEmpty() ? name : name + u'.' + extension;
  const QFileInfo file(QDir(contentsPath()).filePath(QStringLiteral("Resources/") + fileName));
  if (file.exists()) return file.filePath();
  return std::nullopt;
}

std::unique_ptr<MainBundle> MainBundle::create() {
  return std::make_unique<DirectoryBundle>(
      DirectoryBundle::bundleOfExecutable(QCoreApplication::applicationDirPath()));
}

}  // namespace tether
