// The system time zone from CoreFoundation, read afresh on every call so that a change of zone
// while the agent runs shows in the next report.
#include <CoreFoundation/CoreFoundation.h>

#include <vector>

#include "platform/TimeZone.h"

namespace tether::TimeZone {

std::string currentIdentifier() {
  CFTimeZoneResetSystem();
  CFTimeZoneRef zone = CFTimeZoneCopySystem();
  if (!zone) return "UTC";
  std::string out = "UTC";
  if (CFStringRef name = CFTimeZoneGetName(zone)) {
    const CFIndex length = CFStringGetLength(name);
    const CFIndex size = CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8) + 1;
    std::vector<char> buffer(static_cast<std::size_t>(size), '\0');
    if (CFStringGetCString(name, buffer.data(), size, kCFStringEncodingUTF8) && buffer[0] != '\0') {
      out = buffer.data();
    }
  }
  CFRelease(zone);
  return out;
}

}  // namespace tether::TimeZone
