#include "SqliteCheckpointer.h"

#include <sqlite3.h>

#include "platform/ThreadPriority.h"

namespace tether {

SqliteCheckpointer::SqliteCheckpointer(sqlite3* db, const std::filesystem::path& path, int pages)
    : db_(db), pages_(pages) {
  if (sqlite3_open_v2(path.c_str(), &own_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    // Without a connection of its own the log is copied as SQLite does by itself.
    sqlite3_close(own_);
    own_ = nullptr;
    return;
  }
  sqlite3_busy_timeout(own_, 5000);
  // A connection takes up the log when it first reads the database; until then it has none to
  // copy.
  if (sqlite3_exec(own_, "PRAGMA journal_mode", nullptr, nullptr, nullptr) != SQLITE_OK) {
    sqlite3_close(own_);
    own_ = nullptr;
    return;
  }
  thread_ = std::thread([this] { run(); });
  // Replaces SQLite's own checkpoint after commits.
  sqlite3_wal_hook(db_, &SqliteCheckpointer::onCommit, this);
}

SqliteCheckpointer::~SqliteCheckpointer() {
  if (!own_) return;
  sqlite3_wal_autocheckpoint(db_, pages_);
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
  sqlite3_close(own_);
}

int SqliteCheckpointer::onCommit(void* self, sqlite3*, const char*, int pages) {
  auto* checkpointer = static_cast<SqliteCheckpointer*>(self);
  if (pages < checkpointer->pages_) return SQLITE_OK;
  {
    std::lock_guard lock(checkpointer->mutex_);
    checkpointer->wanted_ = true;
  }
  checkpointer->wake_.notify_one();
  return SQLITE_OK;
}

void SqliteCheckpointer::run() {
  ThreadPriority::lowerCurrentThread();
  std::unique_lock lock(mutex_);
  while (true) {
    wake_.wait(lock, [this] { return wanted_ || stopping_; });
    if (stopping_) return;
    wanted_ = false;
    lock.unlock();
    // Passive: copies what no reader still needs, and never waits for a writer.
    sqlite3_wal_checkpoint_v2(own_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    lock.lock();
  }
}

}  // namespace tether
