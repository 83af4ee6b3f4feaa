// The desktop of a macOS session: AppKit, Apple Events and CoreGraphics, a few lines per call.
// Compiled with automatic reference counting.
#import <AppKit/AppKit.h>
#import <ApplicationServices/ApplicationServices.h>
#import <CoreServices/CoreServices.h>
#import <Foundation/Foundation.h>

#include "platform/Desktop.h"

namespace tether {

namespace {

NSString* toNSString(std::string_view text) {
  return [[NSString alloc] initWithBytes:text.data()
                                  length:text.size()
                                encoding:NSUTF8StringEncoding] ?: @"";
}

std::string toString(NSString* text) {
  const char* bytes = text.UTF8String;
  return bytes ? std::string(bytes) : std::string();
}

class MacDesktop final : public Desktop {
 public:
  std::optional<std::string> frontmostBundleId() override {
    @autoreleasepool {
      NSString* identifier = NSWorkspace.sharedWorkspace.frontmostApplication.bundleIdentifier;
      return identifier ? toString(identifier) : std::string();
    }
  }

  double secondsSinceLastInput() override {
    return CGEventSourceSecondsSinceLastEventType(kCGEventSourceStateCombinedSessionState,
                                                  kCGAnyInputEventType);
  }

  bool isScreenLocked() override {
    CFDictionaryRef session = CGSessionCopyCurrentDictionary();
    if (!session) return false;
    const void* value = CFDictionaryGetValue(session, CFSTR("CGSSessionScreenIsLocked"));
    const bool locked = value && CFGetTypeID(value) == CFBooleanGetTypeID() &&
                        CFBooleanGetValue(static_cast<CFBooleanRef>(value));
    CFRelease(session);
    return locked;
  }

  std::optional<std::string> runAppleScript(std::string_view source) override {
    @autoreleasepool {
      NSAppleScript* script = [[NSAppleScript alloc] initWithSource:toNSString(source)];
      if (!script) return std::nullopt;
      NSDictionary* error = nil;
      NSAppleEventDescriptor* result = [script executeAndReturnError:&error];
      if (error || !result) return std::nullopt;
      NSString* text = result.stringValue;
      if (!text) return std::nullopt;
      return toString(text);
    }
  }

  int32_t automationPermission(std::string_view bundleId, bool askUser) override {
    AEAddressDesc target = {typeNull, nullptr};
    if (AECreateDesc(typeApplicationBundleID, bundleId.data(), static_cast<Size>(bundleId.size()),
                     &target) != noErr) {
      return -1;
    }
    const OSStatus status =
        AEDeterminePermissionToAutomateTarget(&target, typeWildCard, typeWildCard, askUser);
    AEDisposeDesc(&target);
    return status;
  }

  bool isInstalled(std::string_view bundleId) override {
    @autoreleasepool {
      NSWorkspace* workspace = NSWorkspace.sharedWorkspace;
      return [workspace URLForApplicationWithBundleIdentifier:toNSString(bundleId)] != nil;
    }
  }

  void showAlert(std::string_view message, std::string_view informativeText,
                 std::string_view button) override {
    @autoreleasepool {
      NSAlert* alert = [[NSAlert alloc] init];
      alert.messageText = toNSString(message);
      alert.informativeText = toNSString(informativeText);
      [alert addButtonWithTitle:toNSString(button)];
      [alert runModal];
    }
  }

  void setActivationPolicy(ActivationPolicy policy) override {
    [NSApp setActivationPolicy:policy == ActivationPolicy::Regular
                                   ? NSApplicationActivationPolicyRegular
                                   : NSApplicationActivationPolicyAccessory];
  }

  void activate() override { [NSApp activateIgnoringOtherApps:YES]; }
};

}  // namespace

std::unique_ptr<Desktop> Desktop::create() { return std::make_unique<MacDesktop>(); }

}  // namespace tether
