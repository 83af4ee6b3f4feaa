#pragma once

#include <QByteArray>
#include <QString>
#include <memory>
#include <optional>

namespace tether {

// The user's keychain, as far as the session store uses it: generic-password items of one
// service (the app's bundle identifier), each named by an account. No call reports a failure.
class Keychain {
 public:
  virtual ~Keychain() = default;

  // The data of the item for account; nothing when there is none or it cannot be read.
  virtual std::optional<QByteArray> copyMatching(const QString& account) = 0;
  // Adds an item; whether the store took it is not examined.
  virtual void add(const QString& account, const QByteArray& data) = 0;
  // Removes every item for account.
  virtual void deleteItems(const QString& account) = 0;

  // macOS: the login keychain through the Security framework. Linux: the desktop's Secret
  // Service (never a plain file: without a Secret Service nothing is kept).
  static std::unique_ptr<Keychain> system(const QString& service);
};

}  // namespace tether
