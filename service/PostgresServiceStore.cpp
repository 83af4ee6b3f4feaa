#include "PostgresServiceStore.h"

#include <optional>
#include <pqxx/pqxx>
#include <stdexcept>

#include "PostgresConnectionPool.h"
#include "Tokens.h"

namespace tether {

namespace {

// The key of the advisory lock under which the schema is made or brought up to date.
constexpr int64_t kSchemaLock = 0x7e7e'5e41'0001;

constexpr const char* kSchema = R"sql(
CREATE TABLE accounts(
  id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  email TEXT NOT NULL,
  email_key TEXT NOT NULL UNIQUE,
  password_hash TEXT,
  created_at TEXT NOT NULL);
CREATE TABLE account_tokens(
  token_digest TEXT PRIMARY KEY,
  account_id BIGINT NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,
  created_at TEXT NOT NULL);
CREATE INDEX account_tokens_by_account ON account_tokens(account_id);
CREATE TABLE sign_in_codes(
  code_digest TEXT PRIMARY KEY,
  account_id BIGINT NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,
  expires_at BIGINT NOT NULL);
CREATE INDEX sign_in_codes_by_expiry ON sign_in_codes(expires_at);
-- The digest of the parent's part of the policy sits on the device row beside rev, so that one
-- row answers whether a device has its policy already; the document itself is apart, since it may
-- be megabytes long and every poll updates the device row.
CREATE TABLE devices(
  id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  account_id BIGINT NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,
  name TEXT NOT NULL,
  token TEXT NOT NULL UNIQUE,
  last_seen TEXT,
  rev BIGINT NOT NULL DEFAULT 0,
  usage_epoch BIGINT NOT NULL DEFAULT 0,
  policy_digest TEXT NOT NULL DEFAULT '',
  apps TEXT,
  apps_received_at TEXT,
  created_at TEXT NOT NULL);
CREATE INDEX devices_by_account ON devices(account_id, id);
CREATE TABLE policies(
  device_id BIGINT PRIMARY KEY REFERENCES devices(id) ON DELETE CASCADE,
  document TEXT NOT NULL,
  digest TEXT NOT NULL);
CREATE TABLE usage_reports(
  device_id BIGINT NOT NULL REFERENCES devices(id) ON DELETE CASCADE,
  date TEXT NOT NULL,
  report TEXT NOT NULL,
  received_at TEXT NOT NULL,
  PRIMARY KEY(device_id, date));
)sql";

// The statements of the agent's requests and of the checks before a body, prepared once on each
// new connection, before it is lent.
void prepareStatements(pqxx::connection& c) {
  // Documents of megabytes are compressed with LZ4 where the server was built with it: for a
  // policy of a million names about half the server's CPU time of its default method.
  try {
    pqxx::nontransaction tx(c);
    tx.exec("SET default_toast_compression = lz4");
  } catch (const pqxx::sql_error&) {
    // Without LZ4 the server's own method stays.
  }
  const auto prepare = [&c](const char* name, const char* sql) {
    c.prepare(name, sql);
    c.prepare_now(name);
  };
  prepare("poll",
            "UPDATE devices SET last_seen = $1 WHERE token = $2 "
            "RETURNING id, rev, usage_epoch, policy_digest");
  prepare("document", "SELECT document FROM policies WHERE device_id = $1 AND digest = $2");
  prepare("record",
            "WITH d AS (UPDATE devices SET last_seen = $1, "
            "apps = CASE WHEN $4 THEN $5 ELSE apps END, "
            "apps_received_at = CASE WHEN $4 THEN $1 ELSE apps_received_at END "
            "WHERE token = $2 RETURNING id) "
            "INSERT INTO usage_reports(device_id, date, report, received_at) "
            "SELECT id, $3, $6, $1 FROM d ON CONFLICT (device_id, date) DO UPDATE "
            "SET report = excluded.report, received_at = excluded.received_at "
            "RETURNING device_id");
  prepare("knows", "SELECT 1 FROM devices WHERE token = $1");
  prepare("account_for_token",
            "SELECT a.id, a.email, a.password_hash FROM account_tokens t "
            "JOIN accounts a ON a.id = t.account_id WHERE t.token_digest = $1");
  prepare("owns", "SELECT 1 FROM devices WHERE id = $1 AND account_id = $2");
  prepare("head",
            "SELECT rev, usage_epoch, policy_digest FROM devices WHERE id = $1 AND account_id = $2");
}

// A failure inside one operation that is no fault of the connection.
struct StoreFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

std::string unavailable(const std::string& what) {
  return std::string(ServiceStore::kUnavailable) + trimmed(what);
}

// SQLSTATE classes of a server that went away or is on its way out.
bool connectionLost(const std::string& state) {
  return state.starts_with("08") || state.starts_with("57P") || state == "53300";
}

enum class Mode {
  // BEGIN ... COMMIT: a connection lost before the commit undid everything, so it is tried again.
  transaction,
  // One statement on its own, with the same effect however often it runs: tried again too.
  repeatable,
};

// Runs body on a pooled connection and turns what can go wrong into the Result's error.
template <class T, class F>
Result<T> run(PostgresConnectionPool& pool, Mode mode, F&& body) {
  std::string failure;
  // A lost connection is tried again once on a fresh one; a serialization failure or deadlock a
  // few times.
  int lostLeft = 1, conflictsLeft = 5;
  while (true) {
    std::optional<PostgresConnectionPool::Lease> lease;
    try {
      lease.emplace(pool.acquire());
      if (mode == Mode::transaction) {
        pqxx::work tx(**lease);
        T out = body(static_cast<pqxx::transaction_base&>(tx));
        tx.commit();
        return out;
      }
      pqxx::nontransaction tx(**lease);
      return body(static_cast<pqxx::transaction_base&>(tx));
    } catch (const PostgresConnectionPool::Unavailable& e) {
      return Result<T>::failure(unavailable(e.what()));
    } catch (const pqxx::in_doubt_error& e) {
      // Whether the commit was made cannot be known; it was made whole or not at all.
      lease->drop();
      return Result<T>::failure(unavailable(std::string("the connection broke while committing (") +
                                            trimmed(e.what()) + ")"));
    } catch (const pqxx::broken_connection& e) {
      if (lease) lease->drop();
      failure = unavailable(e.what());
      if (lostLeft-- > 0) continue;
      return Result<T>::failure(failure);
    } catch (const pqxx::sql_error& e) {
      const std::string state = e.sqlstate();
      if (connectionLost(state)) {
        if (lease) lease->drop();
        failure = unavailable(e.what());
        if (lostLeft-- > 0) continue;
        return Result<T>::failure(failure);
      }
      if ((state == "40001" || state == "40P01") && conflictsLeft-- > 0) continue;
      return Result<T>::failure("database: " + trimmed(e.what()));
    } catch (const StoreFailure& e) {
      return Result<T>::failure(e.what());
    } catch (const std::bad_alloc&) {
      return Result<T>::failure("database: out of memory");
    } catch (const std::exception& e) {
      return Result<T>::failure("database: " + trimmed(e.what()));
    }
  }
}

std::optional<std::string> optionalText(const pqxx::field& f) {
  if (f.is_null()) return std::nullopt;
  return f.as<std::string>();
}

std::optional<Account> accountOf(const pqxx::result& r) {
  if (r.empty()) return std::nullopt;
  return Account{r[0][0].as<int64_t>(), r[0][1].as<std::string>(), optionalText(r[0][2])};
}

DevicePolicy headOf(const pqxx::row& row) {
  return DevicePolicy{row[0].as<int64_t>(), row[1].as<int64_t>(), std::nullopt,
                      row[2].as<std::string>()};
}

// The document of a policy whose head was read, when it is still the one the head names. A
// parent's change committed between the two reads makes the document another: nothing then,
// and the caller reads the head again.
bool fillDocument(pqxx::transaction_base& tx, int64_t deviceId, DevicePolicy& policy) {
  const auto r = tx.exec_prepared("document", deviceId, policy.keptDigest);
  if (r.empty()) return false;
  policy.kept = r[0][0].as<std::string>();
  return true;
}

// How often a head is read again after the policy changed under it, before giving up.
constexpr int kRereads = 8;

std::string unmatched(int64_t deviceId) {
  return "database: the policy of device " + std::to_string(deviceId) +
         " does not match the digest on its row";
}

const char* nullable(const std::optional<std::string>& text) {
  return text ? text->c_str() : nullptr;
}

}  // namespace

Result<std::unique_ptr<PostgresServiceStore>> PostgresServiceStore::open(const std::string& uri,
                                                                         Clock clock,
                                                                         Settings settings) {
  using R = Result<std::unique_ptr<PostgresServiceStore>>;
  auto pool = std::make_unique<PostgresConnectionPool>(uri, settings.connections,
                                                       settings.connectionWait, prepareStatements);
  try {
    auto connection = pool->connect();
    pqxx::work tx(*connection);
    // Held to the end of the transaction: another instance starting now waits here, then finds
    // the schema made.
    tx.exec_params("SELECT pg_advisory_xact_lock($1)", kSchemaLock);
    tx.exec("CREATE TABLE IF NOT EXISTS tether_schema_version(version INTEGER NOT NULL)");
    const auto found = tx.exec("SELECT version FROM tether_schema_version");
    if (found.empty()) {
      tx.exec(kSchema);
      tx.exec_params("INSERT INTO tether_schema_version(version) VALUES($1)", kSchemaVersion);
    } else if (const int version = found[0][0].as<int>(); version != kSchemaVersion) {
      return R::failure("cannot open database: schema version " + std::to_string(version) +
                        " is not one this service knows");
    }
    tx.commit();
  } catch (const PostgresConnectionPool::Unavailable& e) {
    return R::failure("cannot open database: " + trimmed(e.what()));
  } catch (const std::exception& e) {
    return R::failure("cannot open database: " + trimmed(e.what()));
  }
  return std::unique_ptr<PostgresServiceStore>(
      new PostgresServiceStore(std::move(pool), clockOr(std::move(clock))));
}

Result<std::unique_ptr<PostgresServiceStore>> PostgresServiceStore::open(const std::string& uri,
                                                                         Clock clock) {
  return open(uri, std::move(clock), Settings{});
}

PostgresServiceStore::PostgresServiceStore(std::unique_ptr<PostgresConnectionPool> pool,
                                           Clock clock)
    : pool_(std::move(pool)), clock_(std::move(clock)) {}

PostgresServiceStore::~PostgresServiceStore() = default;

std::string PostgresServiceStore::nowText() const {
  return timeText(clock_());
}

Result<std::optional<Account>> PostgresServiceStore::createAccount(
    const std::string& email, const std::optional<std::string>& passwordHash) {
  const std::string now = nowText();
  return run<std::optional<Account>>(
      *pool_, Mode::transaction, [&](pqxx::transaction_base& tx) -> std::optional<Account> {
        const auto r = tx.exec_params(
            "INSERT INTO accounts(email, email_key, password_hash, created_at) "
            "VALUES($1, $2, $3, $4) ON CONFLICT (email_key) DO NOTHING RETURNING id",
            email, emailKey(email), nullable(passwordHash), now);
        if (r.empty()) return std::nullopt;
        return Account{r[0][0].as<int64_t>(), email, passwordHash};
      });
}

Result<std::optional<Account>> PostgresServiceStore::findAccount(const std::string& email) {
  return run<std::optional<Account>>(*pool_, Mode::repeatable, [&](pqxx::transaction_base& tx) {
    return accountOf(tx.exec_params(
        "SELECT id, email, password_hash FROM accounts WHERE email_key = $1", emailKey(email)));
  });
}

Result<bool> PostgresServiceStore::setPasswordHash(int64_t accountId,
                                                   const std::string& passwordHash) {
  return run<bool>(*pool_, Mode::repeatable, [&](pqxx::transaction_base& tx) {
    return tx
               .exec_params("UPDATE accounts SET password_hash = $1 WHERE id = $2", passwordHash,
                            accountId)
               .affected_rows() == 1;
  });
}

Result<std::string> PostgresServiceStore::issueAccountToken(int64_t accountId) {
  const std::string token = Tokens::random();
  const std::string now = nowText();
  return run<std::string>(*pool_, Mode::transaction, [&](pqxx::transaction_base& tx) {
    const auto r = tx.exec_params(
        "INSERT INTO account_tokens(token_digest, account_id, created_at) VALUES($1, $2, $3) "
        "ON CONFLICT DO NOTHING",
        Tokens::digest(token), accountId, now);
    if (r.affected_rows() != 1) throw StoreFailure("token collision");
    return token;
  });
}

Result<std::optional<Account>> PostgresServiceStore::accountForToken(const std::string& token) {
  return run<std::optional<Account>>(*pool_, Mode::repeatable, [&](pqxx::transaction_base& tx) {
    return accountOf(tx.exec_prepared("account_for_token", Tokens::digest(token)));
  });
}

Result<bool> PostgresServiceStore::revokeAccountToken(const std::string& token) {
  return run<bool>(*pool_, Mode::transaction, [&](pqxx::transaction_base& tx) {
    return tx.exec_params("DELETE FROM account_tokens WHERE token_digest = $1",
                          Tokens::digest(token))
               .affected_rows() == 1;
  });
}

Result<std::string> PostgresServiceStore::issueSignInCode(int64_t accountId,
                                                          std::chrono::seconds lifetime) {
  const int64_t now = std::chrono::system_clock::to_time_t(clock_());
  const std::string code = Tokens::random();
  return run<std::string>(*pool_, Mode::transaction, [&](pqxx::transaction_base& tx) {
    tx.exec_params("DELETE FROM sign_in_codes WHERE expires_at <= $1", now);
    const auto r = tx.exec_params(
        "INSERT INTO sign_in_codes(code_digest, account_id, expires_at) VALUES($1, $2, $3) "
        "ON CONFLICT DO NOTHING",
        Tokens::digest(code), accountId, now + static_cast<int64_t>(lifetime.count()));
    if (r.affected_rows() != 1) throw StoreFailure("code collision");
    return code;
  });
}

Result<std::optional<Account>> PostgresServiceStore::redeemSignInCode(const std::string& code) {
  const int64_t now = std::chrono::system_clock::to_time_t(clock_());
  return run<std::optional<Account>>(
      *pool_, Mode::transaction, [&](pqxx::transaction_base& tx) -> std::optional<Account> {
        // Deleting the code is what makes it single-use; an expired code is deleted unused.
        const auto r = tx.exec_params(
            "WITH c AS (DELETE FROM sign_in_codes WHERE code_digest = $1 "
            "RETURNING account_id, expires_at) "
            "SELECT a.id, a.email, a.password_hash, c.expires_at FROM c "
            "JOIN accounts a ON a.id = c.account_id",
            Tokens::digest(code));
        if (r.empty() || r[0][3].as<int64_t>() <= now) return std::nullopt;
        return accountOf(r);
      });
}

Result<std::vector<Device>> PostgresServiceStore::devices(int64_t accountId) {
  return run<std::vector<Device>>(*pool_, Mode::repeatable, [&](pqxx::transaction_base& tx) {
    const auto r = tx.exec_params(
        "SELECT id, name, token, last_seen FROM devices WHERE account_id = $1 ORDER BY id",
        accountId);
    std::vector<Device> out;
    out.reserve(r.size());
    for (const auto& row : r) {
      out.push_back({row[0].as<int64_t>(), row[1].as<std::string>(), row[2].as<std::string>(),
                     optionalText(row[3])});
    }
    return out;
  });
}

Result<Device> PostgresServiceStore::createDevice(int64_t accountId, const std::string& name) {
  Device device{0, name, Tokens::random(), std::nullopt};
  const std::string now = nowText();
  return run<Device>(*pool_, Mode::transaction, [&](pqxx::transaction_base& tx) {
    const auto r = tx.exec_params(
        "INSERT INTO devices(account_id, name, token, created_at) VALUES($1, $2, $3, $4) "
        "ON CONFLICT (token) DO NOTHING RETURNING id",
        accountId, name, device.token, now);
    if (r.empty()) throw StoreFailure("token collision");
    Device out = device;
    out.id = r[0][0].as<int64_t>();
    return out;
  });
}

Result<std::optional<Device>> PostgresServiceStore::renameDevice(int64_t accountId,
                                                                int64_t deviceId,
                                                                const std::string& name) {
  return run<std::optional<Device>>(
      *pool_, Mode::transaction, [&](pqxx::transaction_base& tx) -> std::optional<Device> {
        const auto r = tx.exec_params(
            "UPDATE devices SET name = $1 WHERE id = $2 AND account_id = $3 "
            "RETURNING id, name, token, last_seen",
            name, deviceId, accountId);
        if (r.empty()) return std::nullopt;
        return Device{r[0][0].as<int64_t>(), r[0][1].as<std::string>(),
                      r[0][2].as<std::string>(), optionalText(r[0][3])};
      });
}

Result<bool> PostgresServiceStore::removeDevice(int64_t accountId, int64_t deviceId) {
  return run<bool>(*pool_, Mode::transaction, [&](pqxx::transaction_base& tx) {
    // The policy and the reports go with the row (ON DELETE CASCADE); the inventory is in it.
    return tx.exec_params("DELETE FROM devices WHERE id = $1 AND account_id = $2", deviceId,
                          accountId)
               .affected_rows() == 1;
  });
}

Result<bool> PostgresServiceStore::ownsDevice(int64_t accountId, int64_t deviceId) {
  return run<bool>(*pool_, Mode::repeatable, [&](pqxx::transaction_base& tx) {
    return !tx.exec_prepared("owns", deviceId, accountId).empty();
  });
}

Result<std::optional<DevicePolicy>> PostgresServiceStore::policy(int64_t accountId,
                                                                 int64_t deviceId) {
  return run<std::optional<DevicePolicy>>(
      *pool_, Mode::repeatable, [&](pqxx::transaction_base& tx) -> std::optional<DevicePolicy> {
        for (int round = 0; round < kRereads; ++round) {
          const auto r = tx.exec_prepared("head", deviceId, accountId);
          if (r.empty()) return std::nullopt;
          DevicePolicy policy = headOf(r[0]);
          if (policy.keptDigest.empty() || fillDocument(tx, deviceId, policy)) return policy;
        }
        throw StoreFailure(unmatched(deviceId));
      });
}

Result<std::optional<DevicePolicy>> PostgresServiceStore::setPolicy(int64_t accountId,
                                                                    int64_t deviceId,
                                                                    const std::string& kept,
                                                                    std::optional<int64_t> onlyAtRev) {
  const std::string digest = Tokens::digest(kept);
  return run<std::optional<DevicePolicy>>(
      *pool_, Mode::transaction, [&](pqxx::transaction_base& tx) -> std::optional<DevicePolicy> {
        // The row lock taken here orders parents saving at the same moment on any instance; the
        // second one's rev is counted from the first one's.
        const auto r = tx.exec_params(
            "UPDATE devices SET rev = rev + 1, policy_digest = $3 "
            "WHERE id = $1 AND account_id = $2 AND ($4::BIGINT IS NULL OR rev = $4) "
            "RETURNING rev, usage_epoch, policy_digest",
            deviceId, accountId, digest, onlyAtRev);
        if (r.empty()) {
          const auto now = tx.exec_prepared("head", deviceId, accountId);
          if (now.empty()) return std::nullopt;
          return headOf(now[0]);
        }
        tx.exec_params(
            "INSERT INTO policies(device_id, document, digest) VALUES($1, $2, $3) "
            "ON CONFLICT (device_id) DO UPDATE SET document = excluded.document, "
            "digest = excluded.digest",
            deviceId, kept, digest);
        DevicePolicy policy = headOf(r[0]);
        policy.kept = kept;
        return policy;
      });
}

Result<std::optional<DevicePolicy>> PostgresServiceStore::resetUsage(int64_t accountId,
                                                                     int64_t deviceId) {
  return run<std::optional<DevicePolicy>>(
      *pool_, Mode::transaction, [&](pqxx::transaction_base& tx) -> std::optional<DevicePolicy> {
        const auto r = tx.exec_params(
            "UPDATE devices SET usage_epoch = usage_epoch + 1 "
            "WHERE id = $1 AND account_id = $2 RETURNING rev, usage_epoch, policy_digest",
            deviceId, accountId);
        if (r.empty()) return std::nullopt;
        DevicePolicy policy = headOf(r[0]);
        // The row stays locked to the commit, so no change of the policy can come between.
        if (!policy.keptDigest.empty() && !fillDocument(tx, deviceId, policy)) {
          throw StoreFailure(unmatched(deviceId));
        }
        return policy;
      });
}

Result<std::optional<std::vector<StoredReport>>> PostgresServiceStore::reports(int64_t accountId,
                                                                               int64_t deviceId) {
  using Out = std::optional<std::vector<StoredReport>>;
  return run<Out>(*pool_, Mode::repeatable, [&](pqxx::transaction_base& tx) -> Out {
    if (tx.exec_prepared("owns", deviceId, accountId).empty()) return std::nullopt;
    const auto r = tx.exec_params(
        "SELECT date, report, received_at FROM usage_reports WHERE device_id = $1 ORDER BY date",
        deviceId);
    std::vector<StoredReport> out;
    out.reserve(r.size());
    for (const auto& row : r) {
      out.push_back(
          {row[0].as<std::string>(), row[1].as<std::string>(), row[2].as<std::string>()});
    }
    return out;
  });
}

Result<std::optional<std::vector<StoredReport>>> PostgresServiceStore::latestReports(
    int64_t accountId, int64_t deviceId, int64_t count) {
  using Out = std::optional<std::vector<StoredReport>>;
  return run<Out>(*pool_, Mode::repeatable, [&](pqxx::transaction_base& tx) -> Out {
    if (tx.exec_prepared("owns", deviceId, accountId).empty()) return std::nullopt;
    const auto r = tx.exec_params(
        "SELECT date, report, received_at FROM usage_reports WHERE device_id = $1 "
        "ORDER BY date DESC LIMIT $2",
        deviceId, count);
    std::vector<StoredReport> out;
    out.reserve(r.size());
    for (auto row = r.rbegin(); row != r.rend(); ++row) {
      out.push_back(
          {(*row)[0].as<std::string>(), (*row)[1].as<std::string>(), (*row)[2].as<std::string>()});
    }
    return out;
  });
}

Result<std::optional<DeviceInventory>> PostgresServiceStore::inventory(int64_t accountId,
                                                                       int64_t deviceId) {
  using Out = std::optional<DeviceInventory>;
  return run<Out>(*pool_, Mode::repeatable, [&](pqxx::transaction_base& tx) -> Out {
    const auto r = tx.exec_params(
        "SELECT apps, apps_received_at FROM devices WHERE id = $1 AND account_id = $2", deviceId,
        accountId);
    if (r.empty()) return std::nullopt;
    DeviceInventory out;
    if (auto apps = optionalText(r[0][0])) out.apps = *apps;
    out.receivedAt = optionalText(r[0][1]);
    return out;
  });
}

Result<bool> PostgresServiceStore::knowsDeviceToken(const std::string& deviceToken) {
  return run<bool>(*pool_, Mode::repeatable, [&](pqxx::transaction_base& tx) {
    return !tx.exec_prepared("knows", deviceToken).empty();
  });
}

Result<std::optional<DevicePolicy>> PostgresServiceStore::pollPolicy(
    const std::string& deviceToken, const std::function<bool(const DevicePolicy&)>& wanted) {
  const std::string now = nowText();
  return run<std::optional<DevicePolicy>>(
      *pool_, Mode::repeatable, [&](pqxx::transaction_base& tx) -> std::optional<DevicePolicy> {
        auto r = tx.exec_prepared("poll", now, deviceToken);
        if (r.empty()) return std::nullopt;
        const int64_t deviceId = r[0][0].as<int64_t>();
        for (int round = 0; round < kRereads; ++round) {
          DevicePolicy policy{r[0][1].as<int64_t>(), r[0][2].as<int64_t>(), std::nullopt,
                              r[0][3].as<std::string>()};
          if (policy.keptDigest.empty() || (wanted && !wanted(policy))) return policy;
          if (fillDocument(tx, deviceId, policy)) return policy;
          r = tx.exec_params(
              "SELECT id, rev, usage_epoch, policy_digest FROM devices WHERE id = $1", deviceId);
          if (r.empty()) return std::nullopt;
        }
        throw StoreFailure(unmatched(deviceId));
      });
}

Result<bool> PostgresServiceStore::recordUsage(const std::string& deviceToken,
                                               const std::string& date, const std::string& report,
                                               const std::optional<std::string>& apps) {
  const std::string now = nowText();
  return run<bool>(*pool_, Mode::repeatable, [&](pqxx::transaction_base& tx) {
    return !tx
                .exec_prepared("record", now, deviceToken, date, apps.has_value(),
                               apps ? *apps : std::string(), report)
                .empty();
  });
}

}  // namespace tether
