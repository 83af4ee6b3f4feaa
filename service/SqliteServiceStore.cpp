#include "SqliteServiceStore.h"

#include <sqlite3.h>
#include <zlib.h>

#include <algorithm>
#include <stdexcept>

#include "Tokens.h"

namespace tether {

namespace {

constexpr int kSchemaVersion = 3;

// A policy document longer than this is kept deflated (zlib, fastest level), as a BLOB: a list of
// a million host names is 22 MB of text, and every other request waits while the store writes
// it. Shorter ones stay readable text.
constexpr std::size_t kPackAbove = 64 * 1024;

// In a document read from the store, this first byte marks a packed one; inflated outside the
// lock. No JSON text begins with it.
constexpr char kPackedMark = '\0';

constexpr const char* kSchema = R"sql(
CREATE TABLE accounts(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  email TEXT NOT NULL,
  email_key TEXT NOT NULL UNIQUE,
  password_hash TEXT,
  created_at TEXT NOT NULL);
CREATE TABLE account_tokens(
  token_digest TEXT PRIMARY KEY,
  account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,
  created_at TEXT NOT NULL);
CREATE TABLE sign_in_codes(
  code_digest TEXT PRIMARY KEY,
  account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,
  expires_at INTEGER NOT NULL);
CREATE TABLE devices(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,
  name TEXT NOT NULL,
  token TEXT NOT NULL UNIQUE,
  last_seen TEXT,
  rev INTEGER NOT NULL DEFAULT 0,
  usage_epoch INTEGER NOT NULL DEFAULT 0,
  apps TEXT,
  apps_received_at TEXT,
  created_at TEXT NOT NULL);
CREATE INDEX devices_by_account ON devices(account_id, id);
-- Apart from the device row, which every poll updates: a policy may be megabytes long. A long
-- document is kept deflated, as a BLOB.
CREATE TABLE policies(
  device_id INTEGER PRIMARY KEY REFERENCES devices(id) ON DELETE CASCADE,
  document TEXT NOT NULL,
  digest TEXT NOT NULL);
CREATE TABLE usage_reports(
  device_id INTEGER NOT NULL REFERENCES devices(id) ON DELETE CASCADE,
  date TEXT NOT NULL,
  report TEXT NOT NULL,
  received_at TEXT NOT NULL,
  PRIMARY KEY(device_id, date));
PRAGMA user_version = 3;
)sql";

// A database failure inside one operation; turned into the operation's failed Result.
struct StoreFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(sqlite3* db, const std::string& what) {
  throw StoreFailure(what + ": " + sqlite3_errmsg(db));
}

void exec(sqlite3* db, const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string text = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    throw StoreFailure("database: " + text);
  }
}

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) fail(db, "database");
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int index, int64_t value) {
    check(sqlite3_bind_int64(stmt_, index, value));
    return *this;
  }
  Statement& bind(int index, const std::string& value) {
    check(sqlite3_bind_text64(stmt_, index, value.data(), value.size(), SQLITE_TRANSIENT,
                              SQLITE_UTF8));
    return *this;
  }
  Statement& bindBlob(int index, const std::string& bytes) {
    check(sqlite3_bind_blob64(stmt_, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT));
    return *this;
  }
  Statement& bind(int index, const std::optional<std::string>& value) {
    if (value) return bind(index, *value);
    check(sqlite3_bind_null(stmt_, index));
    return *this;
  }

  // True while there is a row to read. Once the statement is done it stays done (stepping it
  // again would run it a second time).
  bool step() {
    if (done_) return false;
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    done_ = true;
    if (rc == SQLITE_DONE) return false;
    fail(db_, "database");
  }
  // Steps past any remaining rows, so that a statement with RETURNING has done all its work.
  void finish() {
    while (step()) {
    }
  }
  // Runs a statement to its end; false when it broke a UNIQUE or PRIMARY KEY constraint.
  bool run() {
    const int rc = sqlite3_step(stmt_);
    done_ = true;
    if (rc == SQLITE_DONE) return true;
    const int code = sqlite3_extended_errcode(db_);
    if (code == SQLITE_CONSTRAINT_UNIQUE || code == SQLITE_CONSTRAINT_PRIMARYKEY) return false;
    fail(db_, "database");
  }

  int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
  std::optional<std::string> optionalText(int column) const {
    if (sqlite3_column_type(stmt_, column) == SQLITE_NULL) return std::nullopt;
    return text(column);
  }
  bool isBlob(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_BLOB; }
  std::string blob(int column) const {
    const auto* bytes = static_cast<const char*>(sqlite3_column_blob(stmt_, column));
    const int size = sqlite3_column_bytes(stmt_, column);
    return bytes ? std::string(bytes, static_cast<std::size_t>(size)) : std::string();
  }
  std::string text(int column) const {
    const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    const int size = sqlite3_column_bytes(stmt_, column);
    return bytes ? std::string(bytes, static_cast<std::size_t>(size)) : std::string();
  }

 private:
  void check(int rc) {
    if (rc != SQLITE_OK) fail(db_, "database");
  }
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
  bool done_ = false;
};

// BEGIN IMMEDIATE ... COMMIT, rolled back when the scope is left by a failure.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) { exec(db_, "BEGIN IMMEDIATE"); }
  ~Transaction() {
    if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void commit() {
    exec(db_, "COMMIT");
    done_ = true;
  }

 private:
  sqlite3* db_;
  bool done_ = false;
};

std::optional<Account> readAccount(Statement& s) {
  if (!s.step()) return std::nullopt;
  return Account{s.integer(0), s.text(1), s.optionalText(2)};
}

// The device's policy; its document only when wanted (by default always).
std::optional<DevicePolicy> policyOf(sqlite3* db, int64_t deviceId,
                                     const std::function<bool(const DevicePolicy&)>& wanted = {}) {
  Statement s(db,
              "SELECT d.rev, d.usage_epoch, p.digest FROM devices d "
              "LEFT JOIN policies p ON p.device_id = d.id WHERE d.id = ?1");
  s.bind(1, deviceId);
  if (!s.step()) return std::nullopt;
  DevicePolicy policy{s.integer(0), s.integer(1), std::nullopt, s.optionalText(2).value_or("")};
  if (policy.keptDigest.empty() || (wanted && !wanted(policy))) return policy;
  Statement document(db, "SELECT document FROM policies WHERE device_id = ?1");
  document.bind(1, deviceId);
  if (document.step()) {
    policy.kept = document.isBlob(0) ? kPackedMark + document.blob(0) : document.text(0);
  }
  return policy;
}

// The deflated form of a long document (empty when deflate fails, and the text is kept as it is).
std::string packed(const std::string& text) {
  if (text.size() <= kPackAbove) return {};
  uLongf size = compressBound(static_cast<uLong>(text.size()));
  std::string out(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                reinterpret_cast<const Bytef*>(text.data()), static_cast<uLong>(text.size()),
                Z_BEST_SPEED) != Z_OK) {
    return {};
  }
  out.resize(size);
  return out;
}

// Inflates a document read packed; the failure names a damaged one.
Result<std::optional<DevicePolicy>> unpacked(Result<std::optional<DevicePolicy>> read) {
  if (!read || !*read || !(*read)->kept || (*read)->kept->empty() ||
      (*read)->kept->front() != kPackedMark) {
    return read;
  }
  const std::string& bytes = *(*read)->kept;
  std::string text;
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return Result<std::optional<DevicePolicy>>::failure("database: out of memory");
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data() + 1));
  z.avail_in = static_cast<uInt>(bytes.size() - 1);
  int rc = Z_OK;
  char chunk[64 * 1024];
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(chunk);
    z.avail_out = sizeof chunk;
    rc = inflate(&z, Z_NO_FLUSH);
    text.append(chunk, sizeof chunk - z.avail_out);
  }
  inflateEnd(&z);
  if (rc != Z_STREAM_END || z.avail_in != 0) {
    return Result<std::optional<DevicePolicy>>::failure("database: a stored policy is damaged");
  }
  (*read)->kept = std::move(text);
  return read;
}

// Version 1 kept no digest of the policies.
void addPolicyDigests(sqlite3* db) {
  exec(db, "ALTER TABLE policies ADD COLUMN digest TEXT NOT NULL DEFAULT ''");
  std::vector<std::pair<int64_t, std::string>> digests;
  {
    Statement all(db, "SELECT device_id, document FROM policies");
    while (all.step()) digests.emplace_back(all.integer(0), Tokens::digest(all.text(1)));
  }
  for (const auto& [deviceId, digest] : digests) {
    Statement put(db, "UPDATE policies SET digest = ?1 WHERE device_id = ?2");
    put.bind(1, digest).bind(2, deviceId).run();
  }
}

bool deviceBelongsTo(sqlite3* db, int64_t accountId, int64_t deviceId) {
  Statement s(db, "SELECT 1 FROM devices WHERE id = ?1 AND account_id = ?2");
  s.bind(1, deviceId).bind(2, accountId);
  return s.step();
}

template <class T, class F>
Result<T> guarded(std::mutex& mutex, F&& body) {
  std::lock_guard lock(mutex);
  try {
    return body();
  } catch (const StoreFailure& e) {
    return Result<T>::failure(e.what());
  } catch (const std::bad_alloc&) {
    return Result<T>::failure("database: out of memory");
  }
}

}  // namespace

Result<std::unique_ptr<SqliteServiceStore>> SqliteServiceStore::open(
    const std::filesystem::path& path, Clock clock) {
  using R = Result<std::unique_ptr<SqliteServiceStore>>;
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(
      path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    const std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close(db);
    return R::failure("cannot open database " + path.string() + ": " + message);
  }
  bool wal = false;
  try {
    sqlite3_busy_timeout(db, 5000);
    exec(db, "PRAGMA journal_mode = WAL; PRAGMA foreign_keys = ON; PRAGMA synchronous = NORMAL;");
    {
      Statement s(db, "PRAGMA journal_mode");
      wal = s.step() && s.text(0) == "wal";  // not for a database in memory
    }
    int64_t version = 0;
    {
      Statement s(db, "PRAGMA user_version");
      if (s.step()) version = s.integer(0);
    }
    if (version == 0) {
      Transaction t(db);
      exec(db, kSchema);
      t.commit();
    } else if (version == 1 || version == 2) {
      // Version 2 kept every document as text; such documents are read as they are.
      Transaction t(db);
      if (version == 1) addPolicyDigests(db);
      exec(db, "PRAGMA user_version = 3");
      t.commit();
    } else if (version != kSchemaVersion) {
      throw StoreFailure("schema version " + std::to_string(version) +
                         " is not one this service knows");
    }
  } catch (const StoreFailure& e) {
    sqlite3_close(db);
    return R::failure("cannot open database " + path.string() + ": " + e.what());
  }
  std::unique_ptr<SqliteServiceStore> store(new SqliteServiceStore(db, clockOr(std::move(clock))));
  if (wal) store->checkpointer_ = std::make_unique<SqliteCheckpointer>(db, path);
  return store;
}

SqliteServiceStore::SqliteServiceStore(sqlite3* db, Clock clock) : db_(db), clock_(std::move(clock)) {}

SqliteServiceStore::~SqliteServiceStore() {
  checkpointer_.reset();
  sqlite3_close(db_);
}

std::string SqliteServiceStore::nowText() const {
  return timeText(clock_());
}

Result<std::optional<Account>> SqliteServiceStore::createAccount(
    const std::string& email, const std::optional<std::string>& passwordHash) {
  return guarded<std::optional<Account>>(mutex_, [&]() -> std::optional<Account> {
    Statement s(
        db_,
        "INSERT INTO accounts(email, email_key, password_hash, created_at) VALUES(?1, ?2, ?3, ?4)");
    s.bind(1, email).bind(2, emailKey(email)).bind(3, passwordHash).bind(4, nowText());
    if (!s.run()) return std::nullopt;
    return Account{sqlite3_last_insert_rowid(db_), email, passwordHash};
  });
}

Result<std::optional<Account>> SqliteServiceStore::findAccount(const std::string& email) {
  return guarded<std::optional<Account>>(mutex_, [&] {
    Statement s(db_, "SELECT id, email, password_hash FROM accounts WHERE email_key = ?1");
    s.bind(1, emailKey(email));
    return readAccount(s);
  });
}

Result<bool> SqliteServiceStore::setPasswordHash(int64_t accountId, const std::string& passwordHash) {
  return guarded<bool>(mutex_, [&] {
    Statement s(db_, "UPDATE accounts SET password_hash = ?1 WHERE id = ?2");
    s.bind(1, passwordHash).bind(2, accountId).run();
    return sqlite3_changes(db_) == 1;
  });
}

Result<std::string> SqliteServiceStore::issueAccountToken(int64_t accountId) {
  return guarded<std::string>(mutex_, [&] {
    const std::string token = Tokens::random();
    Statement s(
        db_, "INSERT INTO account_tokens(token_digest, account_id, created_at) VALUES(?1, ?2, ?3)");
    if (!s.bind(1, Tokens::digest(token)).bind(2, accountId).bind(3, nowText()).run()) {
      throw StoreFailure("token collision");
    }
    return token;
  });
}

Result<std::optional<Account>> SqliteServiceStore::accountForToken(const std::string& token) {
  return guarded<std::optional<Account>>(mutex_, [&] {
    Statement s(db_,
                "SELECT a.id, a.email, a.password_hash FROM account_tokens t "
                "JOIN accounts a ON a.id = t.account_id WHERE t.token_digest = ?1");
    s.bind(1, Tokens::digest(token));
    return readAccount(s);
  });
}

Result<bool> SqliteServiceStore::revokeAccountToken(const std::string& token) {
  return guarded<bool>(mutex_, [&] {
    Statement s(db_, "DELETE FROM account_tokens WHERE token_digest = ?1");
    s.bind(1, Tokens::digest(token)).run();
    return sqlite3_changes(db_) == 1;
  });
}

Result<std::string> SqliteServiceStore::issueSignInCode(int64_t accountId,
                                                  std::chrono::seconds lifetime) {
  return guarded<std::string>(mutex_, [&] {
    const int64_t now = std::chrono::system_clock::to_time_t(clock_());
    Transaction t(db_);
    Statement purge(db_, "DELETE FROM sign_in_codes WHERE expires_at <= ?1");
    purge.bind(1, now).run();
    const std::string code = Tokens::random();
    Statement s(
        db_, "INSERT INTO sign_in_codes(code_digest, account_id, expires_at) VALUES(?1, ?2, ?3)");
    if (!s.bind(1, Tokens::digest(code)).bind(2, accountId).bind(3, now + lifetime.count()).run()) {
      throw StoreFailure("code collision");
    }
    t.commit();
    return code;
  });
}

Result<std::optional<Account>> SqliteServiceStore::redeemSignInCode(const std::string& code) {
  return guarded<std::optional<Account>>(mutex_, [&]() -> std::optional<Account> {
    const int64_t now = std::chrono::system_clock::to_time_t(clock_());
    // Deleting the code is what makes it single-use; an expired code is deleted unused.
    Statement s(
        db_, "DELETE FROM sign_in_codes WHERE code_digest = ?1 RETURNING account_id, expires_at");
    s.bind(1, Tokens::digest(code));
    if (!s.step()) return std::nullopt;
    const int64_t accountId = s.integer(0);
    const int64_t expiresAt = s.integer(1);
    s.finish();
    if (expiresAt <= now) return std::nullopt;
    Statement a(db_, "SELECT id, email, password_hash FROM accounts WHERE id = ?1");
    a.bind(1, accountId);
    return readAccount(a);
  });
}

Result<std::vector<Device>> SqliteServiceStore::devices(int64_t accountId) {
  return guarded<std::vector<Device>>(mutex_, [&] {
    Statement s(db_,
                "SELECT id, name, token, last_seen FROM devices WHERE account_id = ?1 ORDER BY id");
    s.bind(1, accountId);
    std::vector<Device> out;
    while (s.step()) out.push_back({s.integer(0), s.text(1), s.text(2), s.optionalText(3)});
    return out;
  });
}

Result<Device> SqliteServiceStore::createDevice(int64_t accountId, const std::string& name) {
  return guarded<Device>(mutex_, [&] {
    Device device{0, name, Tokens::random(), std::nullopt};
    Statement s(db_,
                "INSERT INTO devices(account_id, name, token, created_at) VALUES(?1, ?2, ?3, ?4)");
    if (!s.bind(1, accountId).bind(2, name).bind(3, device.token).bind(4, nowText()).run()) {
      throw StoreFailure("token collision");
    }
    device.id = sqlite3_last_insert_rowid(db_);
    return device;
  });
}

Result<std::optional<Device>> SqliteServiceStore::renameDevice(int64_t accountId,
                                                              int64_t deviceId,
                                                              const std::string& name) {
  return guarded<std::optional<Device>>(mutex_, [&]() -> std::optional<Device> {
    Statement s(db_,
                "UPDATE devices SET name = ?1 WHERE id = ?2 AND account_id = ?3 "
                "RETURNING id, name, token, last_seen");
    s.bind(1, name).bind(2, deviceId).bind(3, accountId);
    if (!s.step()) return std::nullopt;
    Device device{s.integer(0), s.text(1), s.text(2), s.optionalText(3)};
    s.finish();
    return device;
  });
}

Result<bool> SqliteServiceStore::removeDevice(int64_t accountId, int64_t deviceId) {
  return guarded<bool>(mutex_, [&] {
    // The policy, the reports and the inventory go with the row (ON DELETE CASCADE).
    Statement s(db_, "DELETE FROM devices WHERE id = ?1 AND account_id = ?2");
    s.bind(1, deviceId).bind(2, accountId).run();
    return sqlite3_changes(db_) == 1;
  });
}

Result<bool> SqliteServiceStore::ownsDevice(int64_t accountId, int64_t deviceId) {
  return guarded<bool>(mutex_, [&] { return deviceBelongsTo(db_, accountId, deviceId); });
}

Result<std::optional<DevicePolicy>> SqliteServiceStore::policy(int64_t accountId, int64_t deviceId) {
  return unpacked(guarded<std::optional<DevicePolicy>>(mutex_, [&]() -> std::optional<DevicePolicy> {
    if (!deviceBelongsTo(db_, accountId, deviceId)) return std::nullopt;
    return policyOf(db_, deviceId);
  }));
}

Result<std::optional<DevicePolicy>> SqliteServiceStore::setPolicy(int64_t accountId, int64_t deviceId,
                                                            const std::string& kept,
                                                            std::optional<int64_t> onlyAtRev) {
  // Outside the lock: a policy may be megabytes long.
  const std::string digest = Tokens::digest(kept);
  const std::string pack = packed(kept);
  bool written = false;
  auto out = guarded<std::optional<DevicePolicy>>(mutex_, [&]() -> std::optional<DevicePolicy> {
    Transaction t(db_);
    Statement raise(db_,
                    "UPDATE devices SET rev = rev + 1 WHERE id = ?1 AND account_id = ?2 "
                    "AND (?3 IS NULL OR rev = ?3)");
    raise.bind(1, deviceId).bind(2, accountId);
    if (onlyAtRev) raise.bind(3, *onlyAtRev);
    raise.run();
    if (sqlite3_changes(db_) != 1) {
      if (!deviceBelongsTo(db_, accountId, deviceId)) return std::nullopt;
      return policyOf(db_, deviceId, [](const DevicePolicy&) { return false; });
    }
    Statement put(db_,
                  "INSERT INTO policies(device_id, document, digest) VALUES(?1, ?2, ?3) "
                  "ON CONFLICT(device_id) DO UPDATE SET document = excluded.document, "
                  "digest = excluded.digest");
    put.bind(1, deviceId).bind(3, digest);
    if (pack.empty()) put.bind(2, kept);
    else put.bindBlob(2, pack);
    put.run();
    auto head = policyOf(db_, deviceId, [](const DevicePolicy&) { return false; });
    t.commit();
    written = true;
    return head;
  });
  // The document written is the one answered; not read back while the others wait for the lock.
  if (written && out && *out) (*out)->kept = kept;
  return out;
}

Result<std::optional<DevicePolicy>> SqliteServiceStore::resetUsage(int64_t accountId, int64_t deviceId) {
  return unpacked(guarded<std::optional<DevicePolicy>>(mutex_, [&]() -> std::optional<DevicePolicy> {
    // One transaction: another instance on the same file must not raise the epoch again
    // between the raise and the read, or both would answer the same epoch.
    Transaction t(db_);
    Statement raise(
        db_, "UPDATE devices SET usage_epoch = usage_epoch + 1 WHERE id = ?1 AND account_id = ?2");
    raise.bind(1, deviceId).bind(2, accountId).run();
    if (sqlite3_changes(db_) != 1) return std::nullopt;
    auto out = policyOf(db_, deviceId);
    t.commit();
    return out;
  }));
}

Result<std::optional<std::vector<StoredReport>>> SqliteServiceStore::reports(int64_t accountId,
                                                                       int64_t deviceId) {
  return guarded<std::optional<
      std::vector<StoredReport>>>(mutex_, [&]() -> std::optional<std::vector<StoredReport>> {
    if (!deviceBelongsTo(db_, accountId, deviceId)) return std::nullopt;
    Statement s(
        db_,
        "SELECT date, report, received_at FROM usage_reports WHERE device_id = ?1 ORDER BY date");
    s.bind(1, deviceId);
    std::vector<StoredReport> out;
    while (s.step()) out.push_back({s.text(0), s.text(1), s.text(2)});
    return out;
  });
}

Result<std::optional<std::vector<StoredReport>>> SqliteServiceStore::latestReports(
    int64_t accountId, int64_t deviceId, int64_t count) {
  return guarded<std::optional<
      std::vector<StoredReport>>>(mutex_, [&]() -> std::optional<std::vector<StoredReport>> {
    if (!deviceBelongsTo(db_, accountId, deviceId)) return std::nullopt;
    Statement s(db_,
                "SELECT date, report, received_at FROM usage_reports WHERE device_id = ?1 "
                "ORDER BY date DESC LIMIT ?2");
    s.bind(1, deviceId).bind(2, count);
    std::vector<StoredReport> out;
    while (s.step()) out.push_back({s.text(0), s.text(1), s.text(2)});
    std::reverse(out.begin(), out.end());
    return out;
  });
}

Result<std::optional<DeviceInventory>> SqliteServiceStore::inventory(int64_t accountId,
                                                               int64_t deviceId) {
  return guarded<std::optional<DeviceInventory>>(mutex_, [&]() -> std::optional<DeviceInventory> {
    Statement s(db_,
                "SELECT apps, apps_received_at FROM devices WHERE id = ?1 AND account_id = ?2");
    s.bind(1, deviceId).bind(2, accountId);
    if (!s.step()) return std::nullopt;
    DeviceInventory out;
    if (auto apps = s.optionalText(0)) out.apps = *apps;
    out.receivedAt = s.optionalText(1);
    return out;
  });
}

Result<bool> SqliteServiceStore::knowsDeviceToken(const std::string& deviceToken) {
  return guarded<bool>(mutex_, [&] {
    Statement s(db_, "SELECT 1 FROM devices WHERE token = ?1");
    s.bind(1, deviceToken);
    return s.step();
  });
}

Result<std::optional<DevicePolicy>> SqliteServiceStore::pollPolicy(
    const std::string& deviceToken, const std::function<bool(const DevicePolicy&)>& wanted) {
  return unpacked(guarded<std::optional<DevicePolicy>>(mutex_, [&]() -> std::optional<DevicePolicy> {
    Statement seen(db_, "UPDATE devices SET last_seen = ?1 WHERE token = ?2 RETURNING id");
    seen.bind(1, nowText()).bind(2, deviceToken);
    if (!seen.step()) return std::nullopt;
    const int64_t deviceId = seen.integer(0);
    seen.finish();
    return policyOf(db_, deviceId, wanted);
  }));
}

Result<bool> SqliteServiceStore::recordUsage(const std::string& deviceToken, const std::string& date,
                                       const std::string& report,
                                       const std::optional<std::string>& apps) {
  return guarded<bool>(mutex_, [&] {
    const std::string now = nowText();
    Transaction t(db_);
    Statement find(db_, "UPDATE devices SET last_seen = ?1 WHERE token = ?2 RETURNING id");
    find.bind(1, now).bind(2, deviceToken);
    if (!find.step()) return false;
    const int64_t deviceId = find.integer(0);
    find.finish();
    Statement put(
        db_,
        "INSERT INTO usage_reports(device_id, date, report, received_at) VALUES(?1, ?2, ?3, ?4) "
        "ON CONFLICT(device_id, date) DO UPDATE SET report = excluded.report, "
        "received_at = excluded.received_at");
    put.bind(1, deviceId).bind(2, date).bind(3, report).bind(4, now).run();
    if (apps) {
      Statement inv(db_, "UPDATE devices SET apps = ?1, apps_received_at = ?2 WHERE id = ?3");
      inv.bind(1, *apps).bind(2, now).bind(3, deviceId).run();
    }
    t.commit();
    return true;
  });
}

}  // namespace tether
