#pragma once

#include "platform/MainBundle.h"

namespace tether {

// A bundle as a plain folder tree: NAME.app/Contents with MacOS/ (executables) and Resources/.
// Linux installs the setup app in this layout, so the bundle lookups work unchanged.
class DirectoryBundle final : public MainBundle {
 public:
  explicit DirectoryBundle(QString bundlePath);

  // The bundle an executable lies in: two folders above it when it sits in
  // NAME.app/Contents/MacOS, else the executable's own folder (which then has no Contents).
  static QString bundleOfExecutable(const QString& executableFolder);

  QString contentsPath() const override;
  std::optional<QString> auxiliaryExecutable(const QString& name) const override;
  std::optional<QString> resource(const QString& name, const QString& extension) const override;

 private:
  QString path_;
};

}  // namespace tether
