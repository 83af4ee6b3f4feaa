#include "DeviceRecord.h"

#include "JsonFields.h"

namespace tether {

namespace {

namespace J = JsonFields;

J::json parseBody(QByteArrayView body) {
  return J::parse(std::string_view(body.data(), static_cast<std::size_t>(body.size())));
}

DeviceRecord fromJson(const J::json& value, const std::string& path) {
  J::requireObject(value, path);
  DeviceRecord record;
  record.id = J::asInteger(J::require(value, "id", path), J::join(path, "id"));
  record.name = QString::fromStdString(J::asString(J::require(value, "name", path), J::join(path, "name")));
  record.token = QString::fromStdString(J::asString(J::require(value, "token", path), J::join(path, "token")));
  if (const J::json* lastSeen = J::find(value, "lastSeen"))
    record.lastSeen = QString::fromStdString(J::asString(*lastSeen, J::join(path, "lastSeen")));
  return record;
}

}  // namespace

std::optional<DeviceRecord> DeviceRecord::decode(QByteArrayView body) {
  try {
    return fromJson(parseBody(body), "");
  } catch (const DecodeError&) {
    return std::nullopt;
  }
}

std::optional<QList<DeviceRecord>> DeviceRecord::decodeList(QByteArrayView body) {
  try {
    const J::json doc = parseBody(body);
    if (!doc.is_array()) return std::nullopt;
    QList<DeviceRecord> records;
    records.reserve(static_cast<qsizetype>(doc.size()));
    for (std::size_t i = 0; i < doc.size(); ++i) records.append(fromJson(doc[i], std::to_string(i)));
    return records;
  } catch (const DecodeError&) {
    return std::nullopt;
  }
}

}  // namespace tether
