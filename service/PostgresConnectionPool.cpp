#include "PostgresConnectionPool.h"

#include <pqxx/pqxx>

namespace tether {

PostgresConnectionPool::Lease::Lease(PostgresConnectionPool& pool,
                                     std::unique_ptr<pqxx::connection> connection)
    : pool_(&pool), connection_(std::move(connection)) {}

PostgresConnectionPool::Lease::~Lease() {
  if (connection_) pool_->giveBack(std::move(connection_), false);
}

void PostgresConnectionPool::Lease::drop() {
  if (connection_) pool_->giveBack(std::move(connection_), true);
}

PostgresConnectionPool::PostgresConnectionPool(std::string uri, std::size_t bound,
                                               std::chrono::milliseconds wait,
                                               std::function<void(pqxx::connection&)> setUp)
    : uri_(std::move(uri)), bound_(std::max<std::size_t>(1, bound)), wait_(wait),
      setUp_(std::move(setUp)) {}

PostgresConnectionPool::~PostgresConnectionPool() = default;

namespace {

std::string trimmed(std::string what) {
  while (!what.empty() && (what.back() == '\n' || what.back() == ' ')) what.pop_back();
  return what;
}

}  // namespace

std::unique_ptr<pqxx::connection> PostgresConnectionPool::connect() const {
  try {
    return std::make_unique<pqxx::connection>(uri_);
  } catch (const pqxx::broken_connection& e) {
    throw Unavailable(trimmed(e.what()));
  }
}

std::unique_ptr<pqxx::connection> PostgresConnectionPool::connectSetUp() const {
  auto connection = connect();
  try {
    if (setUp_) setUp_(*connection);
  } catch (const pqxx::failure& e) {
    // The server went away, or is going, before the connection was ready.
    throw Unavailable(trimmed(e.what()));
  }
  return connection;
}

PostgresConnectionPool::Lease PostgresConnectionPool::acquire() {
  std::unique_lock lock(mutex_);
  const bool free = returned_.wait_for(lock, wait_, [&] { return !idle_.empty() || open_ < bound_; });
  if (!free) {
    throw Unavailable("all " + std::to_string(bound_) + " database connections stayed busy for " +
                      std::to_string(wait_.count()) + " ms");
  }
  if (!idle_.empty()) {
    auto connection = std::move(idle_.back());
    idle_.pop_back();
    return Lease(*this, std::move(connection));
  }
  ++open_;
  lock.unlock();
  try {
    return Lease(*this, connectSetUp());
  } catch (...) {
    lock.lock();
    --open_;
    returned_.notify_one();
    throw;
  }
}

void PostgresConnectionPool::giveBack(std::unique_ptr<pqxx::connection> connection, bool broken) {
  std::vector<std::unique_ptr<pqxx::connection>> closing;
  {
    std::lock_guard lock(mutex_);
    if (broken) {
      closing.swap(idle_);
      closing.push_back(std::move(connection));
      open_ -= closing.size();
    } else {
      idle_.push_back(std::move(connection));
    }
  }
  returned_.notify_all();
  // Closed outside the lock: closing a connection may wait for the network.
}

}  // namespace tether
