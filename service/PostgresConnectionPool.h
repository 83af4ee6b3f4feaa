#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <stdexcept>
#include <vector>

#include <pqxx/connection>

namespace tether {

// At most `bound` connections to one PostgreSQL database, opened when first needed and kept for
// the next request. A connection found broken is dropped, together with the idle ones (a server
// that went away took them all with it), and the next request opens a fresh one: the pool
// recovers by itself once the server is back.
class PostgresConnectionPool {
 public:
  // Thrown when no connection can be had: the server cannot be reached, or every connection
  // stayed busy for the whole wait.
  struct Unavailable : std::runtime_error {
    using std::runtime_error::runtime_error;
  };

  // Borrowed connection; goes back to the pool when the lease ends, unless dropped.
  class Lease {
   public:
    Lease(PostgresConnectionPool& pool, std::unique_ptr<pqxx::connection> connection);
    ~Lease();
    Lease(Lease&&) = default;
    Lease& operator=(Lease&&) = delete;
    pqxx::connection& operator*() const { return *connection_; }
    // The connection broke: close it rather than lend it again.
    void drop();

   private:
    PostgresConnectionPool* pool_;
    std::unique_ptr<pqxx::connection> connection_;
  };

  // setUp runs on every new connection (prepared statements, session settings).
  PostgresConnectionPool(std::string uri, std::size_t bound, std::chrono::milliseconds wait,
                         std::function<void(pqxx::connection&)> setUp);
  ~PostgresConnectionPool();
  PostgresConnectionPool(const PostgresConnectionPool&) = delete;
  PostgresConnectionPool& operator=(const PostgresConnectionPool&) = delete;

  Lease acquire();
  // A connection outside the pool and without setUp, for work done once (the schema).
  std::unique_ptr<pqxx::connection> connect() const;

  std::size_t bound() const { return bound_; }

 private:
  std::unique_ptr<pqxx::connection> connectSetUp() const;
  void giveBack(std::unique_ptr<pqxx::connection> connection, bool broken);

  const std::string uri_;
  const std::size_t bound_;
  const std::chrono::milliseconds wait_;
  const std::function<void(pqxx::connection&)> setUp_;
  std::mutex mutex_;
  std::condition_variable returned_;
  std::vector<std::unique_ptr<pqxx::connection>> idle_;
  std::size_t open_ = 0;  // lent and idle
};

}  // namespace tether
