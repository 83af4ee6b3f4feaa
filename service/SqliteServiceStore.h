#pragma once

#include <filesystem>
#include <memory>
#include <mutex>

#include "ServiceStore.h"
#include "SqliteCheckpointer.h"

struct sqlite3;

namespace tether {

// The service's data in one SQLite file (WAL mode), created empty on first use. One connection,
// used under one lock, so every operation is atomic and the store may be shared by the server's
// threads.
class SqliteServiceStore final : public ServiceStore {
 public:
  // Opens or creates the database; a missing clock means the system clock.
  static Result<std::unique_ptr<SqliteServiceStore>> open(const std::filesystem::path& path,
                                                          Clock clock = {});
  ~SqliteServiceStore() override;

  Result<std::optional<Account>> createAccount(
      const std::string& email, const std::optional<std::string>& passwordHash) override;
  Result<std::optional<Account>> findAccount(const std::string& email) override;
  Result<bool> setPasswordHash(int64_t accountId, const std::string& passwordHash) override;
  Result<std::string> issueAccountToken(int64_t accountId) override;
  Result<std::optional<Account>> accountForToken(const std::string& token) override;
  Result<bool> revokeAccountToken(const std::string& token) override;
  Result<std::string> issueSignInCode(int64_t accountId, std::chrono::seconds lifetime) override;
  Result<std::optional<Account>> redeemSignInCode(const std::string& code) override;
  Result<std::vector<Device>> devices(int64_t accountId) override;
  Result<Device> createDevice(int64_t accountId, const std::string& name) override;
  Result<std::optional<Device>> renameDevice(int64_t accountId, int64_t deviceId,
                                             const std::string& name) override;
  Result<bool> removeDevice(int64_t accountId, int64_t deviceId) override;
  Result<bool> ownsDevice(int64_t accountId, int64_t deviceId) override;
  Result<std::optional<DevicePolicy>> policy(int64_t accountId, int64_t deviceId) override;
  Result<std::optional<DevicePolicy>> setPolicy(int64_t accountId, int64_t deviceId,
                                                const std::string& kept,
                                                std::optional<int64_t> onlyAtRev) override;
  using ServiceStore::setPolicy;
  Result<std::optional<DevicePolicy>> resetUsage(int64_t accountId, int64_t deviceId) override;
  Result<std::optional<std::vector<StoredReport>>> reports(int64_t accountId,
                                                           int64_t deviceId) override;
  Result<std::optional<std::vector<StoredReport>>> latestReports(int64_t accountId,
                                                                 int64_t deviceId,
                                                                 int64_t count) override;
  Result<std::optional<DeviceInventory>> inventory(int64_t accountId, int64_t deviceId) override;
  Result<bool> knowsDeviceToken(const std::string& deviceToken) override;
  Result<std::optional<DevicePolicy>> pollPolicy(
      const std::string& deviceToken,
      const std::function<bool(const DevicePolicy&)>& wanted = {}) override;
  Result<bool> recordUsage(const std::string& deviceToken, const std::string& date,
                           const std::string& report,
                           const std::optional<std::string>& apps) override;

 private:
  SqliteServiceStore(sqlite3* db, Clock clock);
  std::string nowText() const;

  sqlite3* db_;
  Clock clock_;
  std::mutex mutex_;
  // Present while the database keeps a write-ahead log.
  std::unique_ptr<SqliteCheckpointer> checkpointer_;
};

}  // namespace tether
