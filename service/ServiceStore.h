#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Result.h"

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

// The service's data, behind one interface with two implementations: SQLite in one file
// (SqliteServiceStore, the default) and PostgreSQL shared by any number of service instances
// (PostgresServiceStore). Every operation is atomic and may be called from any thread.
// Operations that concern a device of an account take both ids and find nothing when the device
// belongs to another account. A failure is the Result's error; a failure because the database
// cannot be reached begins with kUnavailable.
class ServiceStore {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;

  static constexpr std::string_view kUnavailable = "database unavailable: ";

  // Opens the store a --db value names: a libpq URI ("postgresql://..." or "postgres://...")
  // selects PostgreSQL, anything else is the path of a SQLite file, created when missing. A
  // missing clock means the system clock.
  static Result<std::unique_ptr<ServiceStore>> open(const std::string& location, Clock clock = {});
  static bool isPostgresLocation(std::string_view location);
  // Whether a failure came from a database that cannot be reached (and may come back).
  static bool isUnavailable(const std::string& error);

  virtual ~ServiceStore() = default;

  // E-mail addresses are compared without regard to ASCII letter case. Nothing when the address
  // is already taken.
  virtual Result<std::optional<Account>> createAccount(
      const std::string& email, const std::optional<std::string>& passwordHash) = 0;
  virtual Result<std::optional<Account>> findAccount(const std::string& email) = 0;
  virtual Result<bool> setPasswordHash(int64_t accountId, const std::string& passwordHash) = 0;

  // A new account token; only its digest is kept.
  virtual Result<std::string> issueAccountToken(int64_t accountId) = 0;
  virtual Result<std::optional<Account>> accountForToken(const std::string& token) = 0;
  // The token opens nothing any more (signing out); false when it was unknown.
  virtual Result<bool> revokeAccountToken(const std::string& token) = 0;

  // A one-time web sign-in code, valid for the given time; redeeming it succeeds once.
  virtual Result<std::string> issueSignInCode(int64_t accountId,
                                              std::chrono::seconds lifetime) = 0;
  virtual Result<std::optional<Account>> redeemSignInCode(const std::string& code) = 0;

  // Devices in creation order.
  virtual Result<std::vector<Device>> devices(int64_t accountId) = 0;
  virtual Result<Device> createDevice(int64_t accountId, const std::string& name) = 0;
  // Nothing when the device is not the account's.
  virtual Result<std::optional<Device>> renameDevice(int64_t accountId, int64_t deviceId,
                                                     const std::string& name) = 0;
  // The device with its policy, reports and inventory; its token opens nothing any more. False
  // when the device is not the account's.
  virtual Result<bool> removeDevice(int64_t accountId, int64_t deviceId) = 0;

  virtual Result<bool> ownsDevice(int64_t accountId, int64_t deviceId) = 0;
  virtual Result<std::optional<DevicePolicy>> policy(int64_t accountId, int64_t deviceId) = 0;
  // Keeps the parent's part and raises rev by one, in one step. With `onlyAtRev`, only while the
  // policy is still at that rev: otherwise nothing is written and the answer is the policy's
  // head as it is now, without its document (`kept` empty, which a save never answers).
  virtual Result<std::optional<DevicePolicy>> setPolicy(int64_t accountId, int64_t deviceId,
                                                        const std::string& kept,
                                                        std::optional<int64_t> onlyAtRev) = 0;
  Result<std::optional<DevicePolicy>> setPolicy(int64_t accountId, int64_t deviceId,
                                                const std::string& kept) {
    return setPolicy(accountId, deviceId, kept, std::nullopt);
  }
  // Raises usageEpoch by one.
  virtual Result<std::optional<DevicePolicy>> resetUsage(int64_t accountId, int64_t deviceId) = 0;
  // Reports by date, oldest first.
  virtual Result<std::optional<std::vector<StoredReport>>> reports(int64_t accountId,
                                                                   int64_t deviceId) = 0;
  // The reports of the newest `count` dates, oldest first.
  virtual Result<std::optional<std::vector<StoredReport>>> latestReports(int64_t accountId,
                                                                         int64_t deviceId,
                                                                         int64_t count) = 0;
  virtual Result<std::optional<DeviceInventory>> inventory(int64_t accountId,
                                                           int64_t deviceId) = 0;

  // Whether a device has this token.
  virtual Result<bool> knowsDeviceToken(const std::string& deviceToken) = 0;
  // The agent's side, by device token. Both mark the device as seen now; nothing (or false) when
  // no device has the token. The parent's part is read only when wanted says so, given the
  // policy without it (all of it when wanted is empty).
  virtual Result<std::optional<DevicePolicy>> pollPolicy(
      const std::string& deviceToken,
      const std::function<bool(const DevicePolicy&)>& wanted = {}) = 0;
  // Replaces the report of the same date; keeps the inventory when one is given.
  virtual Result<bool> recordUsage(const std::string& deviceToken, const std::string& date,
                                   const std::string& report,
                                   const std::optional<std::string>& apps) = 0;

 protected:
  ServiceStore() = default;
  ServiceStore(const ServiceStore&) = delete;
  ServiceStore& operator=(const ServiceStore&) = delete;

  // The clock given to open(), or the system clock.
  static Clock clockOr(Clock clock);
  // UTC, e.g. 2026-03-14T09:26:53Z
  static std::string timeText(std::chrono::system_clock::time_point when);
  // The key under which an address is unique: ASCII letters in lower case.
  static std::string emailKey(const std::string& email);
};

}  // namespace tether
