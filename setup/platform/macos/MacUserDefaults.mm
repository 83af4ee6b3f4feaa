// User defaults on macOS: the app's standard user defaults (its bundle's domain), which keep each
// value's type.
#import <Foundation/Foundation.h>

#include "platform/UserDefaults.h"

namespace tether {

namespace {

class MacUserDefaults final : public UserDefaults {
 public:
  QVariant object(const QString& key) override {
    @autoreleasepool {
      id value = [NSUserDefaults.standardUserDefaults objectForKey:key.toNSString()];
      if ([value isKindOfClass:[NSString class]]) return QString::fromNSString(value);
      if (![value isKindOfClass:[NSNumber class]]) return {};
      NSNumber* number = value;
      if (CFGetTypeID((__bridge CFTypeRef)number) == CFBooleanGetTypeID()) return bool(number.boolValue);
      if (CFNumberIsFloatType((__bridge CFNumberRef)number)) return number.doubleValue;
      return QVariant::fromValue(qlonglong(number.longLongValue));
    }
  }

  void setObject(const QString& key, const QVariant& value) override {
    @autoreleasepool {
      NSUserDefaults* defaults = NSUserDefaults.standardUserDefaults;
      switch (value.typeId()) {
        case QMetaType::UnknownType:
          [defaults removeObjectForKey:key.toNSString()];
          break;
        case QMetaType::QString:
          [defaults setObject:value.toString().toNSString() forKey:key.toNSString()];
          break;
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
          [defaults setObject:@(value.toLongLong()) forKey:key.toNSString()];
          break;
        default:
          break;
      }
    }
  }
};

}  // namespace

std::unique_ptr<UserDefaults> UserDefaults::standard(const QString& /*domain*/) {
  return std::make_unique<MacUserDefaults>();
}

}  // namespace tether
