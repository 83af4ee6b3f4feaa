#import <Foundation/Foundation.h>

#include "platform/ComputerName.h"

namespace tether {

std::optional<QString> localizedComputerName() {
  @autoreleasepool {
    NSString* name = NSHost.currentHost.localizedName;
    if (name.length == 0) return std::nullopt;
    return QString::fromNSString(name);
  }
}

}  // namespace tether
