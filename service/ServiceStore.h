#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Result.h"

struct sqlite3;

namespace tether {

// A parent's account. Accounts made through the web sign-in have no password.
struct Account {
  int64_t id = 0;
  std::string email;  // as the parent wrote it
  std::optional<std::string> passwordHash;
};

// A device record as the account sees it; the token is the device's bearer token.
struct Device {
  int64_t id = 0;
  std::string name;
  std::string token;
  std::optional<std::string> lastSeen;  // UTC, e.g. 2026-03-14T09:26:53Z
};

// A device's policy: the parent's part (nothing until the parent sets one) and the service's
// two counters.
struct DevicePolicy {
  int64_t rev = 0;
  int64_t usageEpoch = 0;
  std::optional<std::string> kept;
  // The digest of the parent's part (empty while there is none), kept beside it, so that whether
  // a device has the policy already can be told without reading a document of megabytes.
  std::string keptDigest;
};

struct StoredReport {
  std::string date;
  std::string report;
  std::string receivedAt;
};

// The last installed-application list a device's agent sent.
struct DeviceInventory {
  std::string apps = "[]";
  std::optional<std::string> receivedAt;
};

// The service's data in one SQLite file (WAL mode), created empty on first use. One connection,
// used under one lock, so every operation is atomic and the store may be shared by the server's
// threads. Operations that concern a device of an account take both ids and find nothing when
// the device belongs to another account.
class ServiceStore {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;

  // Opens or creates the database; a missing clock means the system clock.
  static Result<std::unique_ptr<ServiceStore>> open(const std::filesystem::path& path,
                                                    Clock clock = {});
  ~ServiceStore();
  ServiceStore(const ServiceStore&) = delete;
  ServiceStore& operator=(const ServiceStore&) = delete;

  // E-mail addresses are compared without regard to ASCII letter case. Nothing when the address
  // is already taken.
  Result<std::optional<Account>> createAccount(const std::string& email,
                                               const std::optional<std::string>& passwordHash);
  Result<std::optional<Account>> findAccount(const std::string& email);
  Result<bool> setPasswordHash(int64_t accountId, const std::string& passwordHash);

  // A new account token; only its digest is kept.
  Result<std::string> issueAccountToken(int64_t accountId);
  Result<std::optional<Account>> accountForToken(const std::string& token);

  // A one-time web sign-in code, valid for the given time; redeeming it succeeds once.
  Result<std::string> issueSignInCode(int64_t accountId, std::chrono::seconds lifetime);
  Result<std::optional<Account>> redeemSignInCode(const std::string& code);

  // Devices in creation order.
  Result<std::vector<Device>> devices(int64_t accountId);
  Result<Device> createDevice(int64_t accountId, const std::string& name);

  Result<bool> ownsDevice(int64_t accountId, int64_t deviceId);
  Result<std::optional<DevicePolicy>> policy(int64_t accountId, int64_t deviceId);
  // Keeps the parent's part and raises rev.
  Result<std::optional<DevicePolicy>> setPolicy(int64_t accountId, int64_t deviceId,
                                                const std::string& kept);
  // Raises usageEpoch.
  Result<std::optional<DevicePolicy>> resetUsage(int64_t accountId, int64_t deviceId);
  // Reports by date, oldest first.
  Result<std::optional<std::vector<StoredReport>>> reports(int64_t accountId, int64_t deviceId);
  Result<std::optional<DeviceInventory>> inventory(int64_t accountId, int64_t deviceId);

  // Whether a device has this token.
  Result<bool> knowsDeviceToken(const std::string& deviceToken);
  // The agent's side, by device token. Both mark the device as seen now; nothing (or false) when
  // no device has the token. The parent's part is read only when wanted says so, given the
  // policy without it (all of it when wanted is empty).
  Result<std::optional<DevicePolicy>> pollPolicy(
      const std::string& deviceToken, const std::function<bool(const DevicePolicy&)>& wanted = {});
  // Replaces the report of the same date; keeps the inventory when one is given.
  Result<bool> recordUsage(const std::string& deviceToken, const std::string& date,
                           const std::string& report, const std::optional<std::string>& apps);

 private:
  ServiceStore(sqlite3* db, Clock clock);
  std::string nowText() const;

  sqlite3* db_;
  Clock clock_;
  std::mutex mutex_;
};

}  // namespace tether
