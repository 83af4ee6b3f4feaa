#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "ServiceStore.h"

namespace tether {

class PostgresConnectionPool;

// The service's data in a PostgreSQL database that any number of service instances share. The
// schema is made or brought up to date when the store opens, under an advisory lock, so that
// instances starting together do it once. Every change is one transaction that counts on the
// database's row locks rather than on reading first: rev and usageEpoch rise by exactly one per
// change whatever the instances do at the same moment. A connection that breaks is replaced, and
// an operation that lost its connection before anything was committed is tried once more on a
// fresh one; when the server stays away the failure is kUnavailable.
class PostgresServiceStore final : public ServiceStore {
 public:
  struct Settings {
    std::size_t connections = 16;                       // the most held open at once
    std::chrono::milliseconds connectionWait{10'000};  // for a free one when all are busy
  };

  // Opens the database of a libpq URI ("postgresql://user@host:port/name?...").
  static Result<std::unique_ptr<PostgresServiceStore>> open(const std::string& uri,
                                                            Clock clock, Settings settings);
  static Result<std::unique_ptr<PostgresServiceStore>> open(const std::string& uri,
                                                            Clock clock = {});
  // The version of the schema this build makes.
  static constexpr int kSchemaVersion = 1;

  ~PostgresServiceStore() override;

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
  PostgresServiceStore(std::unique_ptr<PostgresConnectionPool> pool, Clock clock);
  std::string nowText() const;

  std::unique_ptr<PostgresConnectionPool> pool_;
  Clock clock_;
};

}  // namespace tether
