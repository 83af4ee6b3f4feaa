#pragma once

#include <QString>
#include <memory>
#include <optional>

#include "platform/Keychain.h"
#include "platform/UserDefaults.h"

namespace tether {

// The parent's session across launches of the setup app: the account token in the keychain, the
// signed-in e-mail address and the chosen device record in the user defaults. Keeps no state of
// its own: every read goes to the stores. No operation reports a failure; a store that refuses
// one leaves the next read absent.
class SessionStore {
 public:
  static inline const QString kTokenAccount = QStringLiteral("apiToken");
  static inline const QString kSignedInEmailKey = QStringLiteral("signedInEmail");
  static inline const QString kSelectedDeviceIDKey = QStringLiteral("selectedDeviceID");

  SessionStore(std::shared_ptr<Keychain> keychain, std::shared_ptr<UserDefaults> defaults);

  // The keychain item for account as text; absent when there is none or its bytes are not UTF-8.
  std::optional<QString> read(const QString& account) const;
  // Replaces the item: deletes it first, so an existing item never makes the add fail.
  void write(const QString& value, const QString& account);
  void deleteItem(const QString& account);

  std::optional<QString> apiToken() const { return read(kTokenAccount); }
  void setApiToken(const QString& token) { write(token, kTokenAccount); }

  // Absent when never written or stored as another type; writing nothing removes the key.
  std::optional<QString> signedInEmail() const;
  void setSignedInEmail(const std::optional<QString>& email);

  // The id of the chosen DeviceRecord; absent when none is chosen or it was stored as anything
  // but an integer. Writing nothing removes the key.
  std::optional<qint64> selectedDeviceID() const;
  void setSelectedDeviceID(std::optional<qint64> id);

  // Forgets the session: the e-mail, then the token, then the device choice.
  void clear();

 private:
  std::shared_ptr<Keychain> keychain_;
  std::shared_ptr<UserDefaults> defaults_;
};

}  // namespace tether
