// The keychain on Linux: the desktop's Secret Service (GNOME Keyring, KWallet) through libsecret's
// synchronous calls. Items carry two attributes, "service" and "account", like the generic-password
// items of macOS. There is no fallback: without a Secret Service nothing is stored or found.
#include <libsecret/secret.h>

#include "platform/Keychain.h"

namespace tether {

namespace {

class LinuxKeychain final : public Keychain {
 public:
  explicit LinuxKeychain(const QString& service)
      : service_(service.toUtf8()), schemaName_(service_ + ".GenericPassword") {
    schema_.name = schemaName_.constData();
    schema_.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
    schema_.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
    schema_.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
    schema_.attributes[2] = {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING};
  }

  std::optional<QByteArray> copyMatching(const QString& account) override {
    const QByteArray name = account.toUtf8();
    GError* error = nullptr;
    SecretValue* value = secret_password_lookup_binary_sync(&schema_, nullptr, &error, "service",
                                                            service_.constData(), "account",
                                                            name.constData(), nullptr);
    if (error) g_error_free(error);
    if (!value) return std::nullopt;
    gsize length = 0;
    const gchar* data = secret_value_get(value, &length);
    QByteArray bytes(data, static_cast<qsizetype>(length));
    secret_value_unref(value);
    return bytes;
  }

  void add(const QString& account, const QByteArray& data) override {
    const QByteArray name = account.toUtf8();
    const QByteArray label = service_ + " " + name;
    SecretValue* value = secret_value_new(data.constData(), data.size(), "text/plain");
    GError* error = nullptr;
    secret_password_store_binary_sync(&schema_, SECRET_COLLECTION_DEFAULT, label.constData(), value,
                                      nullptr, &error, "service", service_.constData(), "account",
                                      name.constData(), nullptr);
    if (error) g_error_free(error);
    secret_value_unref(value);
  }

  void deleteItems(const QString& account) override {
    const QByteArray name = account.toUtf8();
    GError* error = nullptr;
    secret_password_clear_sync(&schema_, nullptr, &error, "service", service_.constData(),
                               "account", name.constData(), nullptr);
    if (error) g_error_free(error);
  }

 private:
  QByteArray service_;
  QByteArray schemaName_;
  SecretSchema schema_{};
};

}  // namespace

std::unique_ptr<Keychain> Keychain::system(const QString& service) {
  return std::make_unique<LinuxKeychain>(service);
}

}  // namespace tether
