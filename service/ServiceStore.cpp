#include "ServiceStore.h"

#include <ctime>

#include "PostgresServiceStore.h"
#include "SqliteServiceStore.h"

namespace tether {

bool ServiceStore::isPostgresLocation(std::string_view location) {
  return location.starts_with("postgresql://") || location.starts_with("postgres://");
}

bool ServiceStore::isUnavailable(const std::string& error) {
  return error.starts_with(kUnavailable);
}

Result<std::unique_ptr<ServiceStore>> ServiceStore::open(const std::string& location,
                                                         Clock clock) {
  using R = Result<std::unique_ptr<ServiceStore>>;
  if (isPostgresLocation(location)) {
    auto store = PostgresServiceStore::open(location, std::move(clock));
    if (!store) return R::failure(store.error());
    return std::unique_ptr<ServiceStore>(std::move(*store));
  }
  auto store = SqliteServiceStore::open(location, std::move(clock));
  if (!store) return R::failure(store.error());
  return std::unique_ptr<ServiceStore>(std::move(*store));
}

ServiceStore::Clock ServiceStore::clockOr(Clock clock) {
  if (clock) return clock;
  return [] { return std::chrono::system_clock::now(); };
}

std::string ServiceStore::timeText(std::chrono::system_clock::time_point when) {
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm utc{};
  gmtime_r(&t, &utc);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return buf;
}

std::string ServiceStore::emailKey(const std::string& email) {
  std::string key = email;
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

}  // namespace tether
