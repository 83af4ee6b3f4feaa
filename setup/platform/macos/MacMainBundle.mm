// The setup app's bundle on macOS: NSBundle's main bundle.
#import <Foundation/Foundation.h>

#include "platform/MainBundle.h"

namespace tether {

namespace {

std::optional<QString> pathOrNothing(NSString* path) {
  if (path == nil) return std::nullopt;
  return QString::fromNSString(path);
}

class MacMainBundle final : public MainBundle {
 public:
  QString contentsPath() const override {
    @autoreleasepool {
      return QString::fromNSString(
          [NSBundle.mainBundle.bundlePath stringByAppendingPathComponent:@"Contents"]);
    }
  }

  std::optional<QString> auxiliaryExecutable(const QString& name) const override {
    @autoreleasepool {
      return pathOrNothing([NSBundle.mainBundle pathForAuxiliaryExecutable:name.toNSString()]);
    }
  }

  std::optional<QString> resource(const QString& name, const QString& extension) const override {
    @autoreleasepool {
      NSString* type = extension.isEmpty() ? nil : extension.toNSString();
      return pathOrNothing([NSBundle.mainBundle pathForResource:name.toNSString() ofType:type]);
    }
  }
};

}  // namespace

std::unique_ptr<MainBundle> MainBundle::create() {
  return std::make_unique<MacMainBundle>();
}

}  // namespace tether
