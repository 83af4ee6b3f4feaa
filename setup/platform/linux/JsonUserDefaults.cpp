#include "JsonUserDefaults.h"

#include <QStandardPaths>
#include <limits>
#include <system_error>

#include "SafeFile.h"

namespace tether {

JsonUserDefaults::JsonUserDefaults(std::filesystem::path file) : file_(std::move(file)) {}

nlohmann::json JsonUserDefaults::load() const {
  const Result<std::string> text = SafeFile::read(file_, kMaxFileBytes);
  if (!text) return nlohmann::json::object();
  nlohmann::json doc = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
  return doc.is_object() ? doc : nlohmann::json::object();
}

QVariant JsonUserDefaults::object(const QString& key) {
  const nlohmann::json doc = load();
  const auto it = doc.find(key.toStdString());
  if (it == doc.end()) return {};
  if (it->is_string()) return QString::fromStdString(it->get<std::string>());
  // JSON reads every integer from 0 up as unsigned: only one beyond qint64 stays so.
  if (it->is_number_unsigned() && it->get<qulonglong>() > qulonglong(std::numeric_limits<qlonglong>::max()))
    return QVariant::fromValue(it->get<qulonglong>());
  if (it->is_number_integer()) return QVariant::fromValue(it->get<qlonglong>());
  if (it->is_number_float()) return it->get<double>();
  if (it->is_boolean()) return it->get<bool>();
  return {};
}

void JsonUserDefaults::setObject(const QString& key, const QVariant& value) {
  nlohmann::json doc = load();
  const std::string name = key.toStdString();
  switch (value.typeId()) {
    case QMetaType::UnknownType:
      // Nothing to remove: the file is left as it is (or absent).
      if (doc.erase(name) == 0) return;
      break;
    case QMetaType::QString:
      doc[name] = value.toString().toStdString();
      break;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
      doc[name] = value.toLongLong();
      break;
    case QMetaType::ULongLong:
      doc[name] = value.toULongLong();
      break;
    default:
      return;
  }
  std::error_code ignored;
  std::filesystem::create_directories(file_.parent_path(), ignored);
  SafeFile::writeAtomically(file_, doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), 0600);
}

std::unique_ptr<UserDefaults> UserDefaults::standard(const QString& domain) {
  const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  const QString file = folder + QStringLiteral("/") + domain + QStringLiteral(".json");
  return std::make_unique<JsonUserDefaults>(std::filesystem::path(file.toStdString()));
}

}  // namespace tether
