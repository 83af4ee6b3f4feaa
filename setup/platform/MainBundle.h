#pragma once

#include <QString>
#include <memory>
#include <optional>

namespace tether {

// The setup app's own bundle, as far as the installer looks into it: Tether.app with the
// agent, the install script and the tab helper inside.
class MainBundle {
 public:
  virtual ~MainBundle() = default;

  // The bundle's "Contents" folder.
  virtual QString contentsPath() const = 0;
  // The auxiliary executable name (in Contents/MacOS); nothing when the bundle has none.
  virtual std::optional<QString> auxiliaryExecutable(const QString& name) const = 0;
  // The resource name.extension, or name alone for an empty extension (in Contents/Resources);
  // nothing when the bundle has none.
  virtual std::optional<QString> resource(const QString& name, const QString& extension) const = 0;

  // macOS: the main bundle (NSBundle). Linux: the install tree the program runs from, laid out
  // like the bundle (Tether.app/Contents/MacOS/Tether).
  static std::unique_ptr<MainBundle> create();
};

}  // namespace tether
