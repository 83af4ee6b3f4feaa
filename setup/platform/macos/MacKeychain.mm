// The keychain on macOS: generic-password items of the login keychain, through the Security
// framework. No access group, accessibility or label is set: the platform's defaults apply.
#import <Foundation/Foundation.h>
#import <Security/Security.h>

#include "platform/Keychain.h"

namespace tether {

namespace {

class MacKeychain final : public Keychain {
 public:
  explicit MacKeychain(QString service) : service_(std::move(service)) {}

  std::optional<QByteArray> copyMatching(const QString& account) override {
    @autoreleasepool {
      NSMutableDictionary* query = itemQuery(account);
      query[(__bridge id)kSecReturnData] = @YES;
      query[(__bridge id)kSecMatchLimit] = (__bridge id)kSecMatchLimitOne;
      CFTypeRef result = nullptr;
      const OSStatus status = SecItemCopyMatching((__bridge CFDictionaryRef)query, &result);
      std::optional<QByteArray> data;
      if (status == errSecSuccess && result != nullptr && CFGetTypeID(result) == CFDataGetTypeID())
        data = QByteArray::fromCFData(static_cast<CFDataRef>(result));
      if (result != nullptr) CFRelease(result);
      return data;
    }
  }

  void add(const QString& account, const QByteArray& data) override {
    @autoreleasepool {
      NSMutableDictionary* attributes = itemQuery(account);
      attributes[(__bridge id)kSecValueData] = data.toNSData();
      SecItemAdd((__bridge CFDictionaryRef)attributes, nullptr);
    }
  }

  void deleteItems(const QString& account) override {
    @autoreleasepool {
      SecItemDelete((__bridge CFDictionaryRef)itemQuery(account));
    }
  }

 private:
  // Class generic password, this service, the account.
  NSMutableDictionary* itemQuery(const QString& account) const {
    return [@{
      (__bridge id)kSecClass : (__bridge id)kSecClassGenericPassword,
      (__bridge id)kSecAttrService : service_.toNSString(),
      (__bridge id)kSecAttrAccount : account.toNSString(),
    } mutableCopy];
  }

  QString service_;
};

}  // namespace

std::unique_ptr<Keychain> Keychain::system(const QString& service) {
  return std::make_unique<MacKeychain>(service);
}

}  // namespace tether
