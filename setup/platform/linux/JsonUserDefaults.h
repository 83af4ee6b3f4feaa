#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>

#include "platform/UserDefaults.h"

namespace tether {

// User defaults on Linux: one JSON object in a file of the user's, rewritten atomically on every
// change (mode 0600). JSON keeps integers apart from strings, which an INI file would not. A
// missing, unreadable or undecodable file reads as empty; the next change replaces it.
class JsonUserDefaults final : public UserDefaults {
 public:
  static constexpr std::size_t kMaxFileBytes = 1 << 20;

  explicit JsonUserDefaults(std::filesystem::path file);

  QVariant object(const QString& key) override;
  void setObject(const QString& key, const QVariant& value) override;

  const std::filesystem::path& file() const { return file_; }

 private:
  nlohmann::json load() const;
  std::filesystem::path file_;
};

}  // namespace tether
