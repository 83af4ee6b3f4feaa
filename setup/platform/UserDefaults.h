#pragma once

#include <QString>
#include <QVariant>
#include <memory>

namespace tether {

// The app's user defaults: values kept with their type, so an integer stays an integer and a
// string a string. No call reports a failure.
class UserDefaults {
 public:
  virtual ~UserDefaults() = default;

  // The value stored for key with the type it was stored with (QString, qint64, double, bool);
  // an invalid QVariant when there is none or it has another type.
  virtual QVariant object(const QString& key) = 0;
  // Stores a QString or an integer; an invalid QVariant removes the key.
  virtual void setObject(const QString& key, const QVariant& value) = 0;

  // macOS: the app's standard user defaults (its bundle's domain; domain is not used). Linux: a
  // JSON file named after domain in the user's configuration folder.
  static std::unique_ptr<UserDefaults> standard(const QString& domain);
};

}  // namespace tether
