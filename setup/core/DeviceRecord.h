#pragma once

#include <QByteArrayView>
#include <QList>
#include <QString>
#include <optional>

namespace tether {

// One device record of the parent's account, identified by id.
struct DeviceRecord {
  qint64 id = 0;
  QString name;
  QString token;  // the device token the Mac's agent authenticates with
  std::optional<QString> lastSeen;  // a missing key and null both read as nothing

  // Strict as LoginResponse::decode; lastSeen, when present and not null, must be a string.
  static std::optional<DeviceRecord> decode(QByteArrayView body);
  // A JSON array of records at top level.
  static std::optional<QList<DeviceRecord>> decodeList(QByteArrayView body);

  friend bool operator==(const DeviceRecord&, const DeviceRecord&) = default;
};

}  // namespace tether
