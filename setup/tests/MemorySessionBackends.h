#pragma once

#include <QMap>
#include <QStringList>
#include <QVariant>
#include <memory>
#include <utility>

#include "platform/Keychain.h"
#include "platform/UserDefaults.h"

namespace tether {

// A keychain in memory that behaves like the real one: items are a list, so adding an account
// twice leaves two items (and a lookup finds the first). calls records each call in order; give
// the defaults the same list to see the order across both.
class MemoryKeychain final : public Keychain {
 public:
  std::optional<QByteArray> copyMatching(const QString& account) override {
    *calls << "copyMatching " + account;
    for (const auto& [name, data] : items)
      if (name == account) return data;
    return std::nullopt;
  }
  void add(const QString& account, const QByteArray& data) override {
    *calls << "add " + account;
    items.append({account, data});
  }
  void deleteItems(const QString& account) override {
    *calls << "deleteItems " + account;
    items.removeIf([&](const auto& item) { return item.first == account; });
  }

  QList<std::pair<QString, QByteArray>> items;
  std::shared_ptr<QStringList> calls = std::make_shared<QStringList>();
};

// User defaults in memory, values kept with their type; calls records each change in order.
class MemoryDefaults final : public UserDefaults {
 public:
  QVariant object(const QString& key) override { return values.value(key); }
  void setObject(const QString& key, const QVariant& value) override {
    *calls << (value.isValid() ? "set " : "remove ") + key;
    if (value.isValid()) {
      values[key] = value;
    } else {
      values.remove(key);
    }
  }

  QMap<QString, QVariant> values;
  std::shared_ptr<QStringList> calls = std::make_shared<QStringList>();
};

}  // namespace tether
