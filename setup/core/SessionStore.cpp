#include "SessionStore.h"

#include <QStringDecoder>
#include <limits>

namespace tether {

SessionStore::SessionStore(std::shared_ptr<Keychain> keychain, std::shared_ptr<UserDefaults> defaults)
    : keychain_(std::move(keychain)), defaults_(std::move(defaults)) {}

std::optional<QString> SessionStore::read(const QString& account) const {
  const std::optional<QByteArray> data = keychain_->copyMatching(account);
  if (!data) return std::nullopt;
  // QString::fromUtf8 would replace bad bytes silently: the decoder says whether there were any.
  QStringDecoder utf8(QStringDecoder::Utf8,
                      QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
  QString text = utf8.decode(*data);
  if (utf8.hasError()) return std::nullopt;
  return text;
}

void SessionStore::write(const QString& value, const QString& account) {
  deleteItem(account);
  keychain_->add(account, value.toUtf8());
}

void SessionStore::deleteItem(const QString& account) { keychain_->deleteItems(account); }

std::optional<QString> SessionStore::signedInEmail() const {
  const QVariant value = defaults_->object(kSignedInEmailKey);
  if (value.typeId() != QMetaType::QString) return std::nullopt;
  return value.toString();
}

void SessionStore::setSignedInEmail(const std::optional<QString>& email) {
  defaults_->setObject(kSignedInEmailKey, email ? QVariant(*email) : QVariant());
}

std::optional<qint64> SessionStore::selectedDeviceID() const {
  const QVariant value = defaults_->object(kSelectedDeviceIDKey);
  switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
      return value.toLongLong();
    case QMetaType::ULongLong:
      if (value.toULongLong() > static_cast<qulonglong>(std::numeric_limits<qint64>::max()))
        return std::nullopt;
      return static_cast<qint64>(value.toULongLong());
    default:
      return std::nullopt;
  }
}

void SessionStore::setSelectedDeviceID(std::optional<qint64> id) {
  defaults_->setObject(kSelectedDeviceIDKey, id ? QVariant(*id) : QVariant());
}

void SessionStore::clear() {
  setSignedInEmail(std::nullopt);
  deleteItem(kTokenAccount);
  setSelectedDeviceID(std::nullopt);
}

}  // namespace tether
