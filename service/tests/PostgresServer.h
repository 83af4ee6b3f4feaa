#pragma once

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace tether::test {

// A PostgreSQL server of the test's own: a cluster in a fresh folder, served on a Unix socket in
// that folder only (no TCP port), stopped and removed with the object. When the tests
// run as root the server runs as the "postgres" user (or "nobody"), as PostgreSQL refuses root.
// The cluster is copied from one made by initdb once per machine, which saves seconds per test.
class PostgresServer {
 public:
  static constexpr const char* kBin = "/usr/lib/postgresql/15/bin";

  // Why no server can be started here; empty when one can.
  static std::string missing() {
    for (const char* tool : {"initdb", "pg_ctl", "postgres"}) {
      if (access((std::string(kBin) + "/" + tool).c_str(), X_OK) != 0)
        return std::string("PostgreSQL server binaries not found in ") + kBin;
    }
    if (geteuid() == 0 && !getpwnam("postgres") && !getpwnam("nobody"))
      return "running as root and no unprivileged user to run PostgreSQL as";
    return "";
  }

  PostgresServer() {
    char pattern[] = "/tmp/tether-pg-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("cannot make a folder in /tmp");
    folder_ = pattern;
    owner_ = unprivileged();
    const std::filesystem::path model = model_();
    shell("cp -a '" + (model / ".").string() + "' '" + data().string() + "'");
    handOver(folder_);
    start();
  }
  ~PostgresServer() {
    run("'" + std::string(kBin) + "/pg_ctl' -D '" + data().string() + "' -m immediate -w stop",
        false);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  // The libpq URI of one of the server's databases.
  std::string uri(const std::string& database = "postgres") const {
    return "postgresql:///" + database + "?host=" + folder_.string() + "&port=5432&user=postgres";
  }

  void start() {
    run("'" + std::string(kBin) + "/pg_ctl' -D '" + data().string() + "' -l '" +
        (folder_ / "server.log").string() + "' -w -t 60 -o \"-k '" + folder_.string() +
        "' -c listen_addresses='' -p 5432 -F -c max_connections=60\" start");
  }
  // Fast: the server ends its sessions and goes.
  void stop() {
    run("'" + std::string(kBin) + "/pg_ctl' -D '" + data().string() + "' -m fast -w stop");
  }

  // Runs SQL through psql as the server's superuser.
  void sql(const std::string& statement, const std::string& database = "postgres") const {
    run("'" + std::string(kBin) + "/psql' -X -q -v ON_ERROR_STOP=1 '" + uri(database) +
        "' -c \"" + statement + "\" > /dev/null");
  }

 private:
  std::filesystem::path data() const { return folder_ / "data"; }

  // The user the server runs as: this one, or an unprivileged one when this is root.
  static std::string unprivileged() {
    if (geteuid() != 0) return "";
    return getpwnam("postgres") ? "postgres" : "nobody";
  }

  static void shell(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
  }

  void run(const std::string& command, bool check = true) const {
    const std::string line =
        owner_.empty() ? command : "runuser -u " + owner_ + " -- sh -c " + quoted(command);
    if (std::system(line.c_str()) != 0 && check) throw std::runtime_error("failed: " + line);
  }

  static std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
  }

  void handOver(const std::filesystem::path& path) const {
    if (owner_.empty()) return;
    shell("chown -R " + owner_ + " '" + path.string() + "' && chmod 700 '" + path.string() + "'");
  }

  // The cluster every server starts from, made once under a lock.
  std::filesystem::path model_() const {
    const std::filesystem::path model = std::filesystem::temp_directory_path() /
                                        ("tether-pg15-model-" + std::to_string(geteuid()));
    const std::string lockPath = model.string() + ".lock";
    const int lock = ::open(lockPath.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    if (lock < 0 || flock(lock, LOCK_EX) != 0) throw std::runtime_error("cannot lock " + lockPath);
    if (!std::filesystem::exists(model / "PG_VERSION")) {
      const std::filesystem::path making = model.string() + ".making";
      std::filesystem::remove_all(making);
      std::filesystem::create_directories(making);
      handOver(making);
      run("'" + std::string(kBin) + "/initdb' -D '" + (making / "data").string() +
          "' -A trust -U postgres -E UTF8 --locale=C --no-sync > /dev/null");
      std::filesystem::remove_all(model);
      std::filesystem::rename(making / "data", model);
      std::filesystem::remove_all(making);
    }
    ::close(lock);
    return model;
  }

  std::filesystem::path folder_;
  std::string owner_;
};

}  // namespace tether::test
