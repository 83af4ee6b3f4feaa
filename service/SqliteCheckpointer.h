#pragma once

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

struct sqlite3;

namespace tether {

// Copies the pages of a SQLite database's write-ahead log back into the database on a thread and
// a connection of its own. SQLite would otherwise do it inside the commit that lets the log grow
// past its bound, on the connection that everyone else waits for: after a policy of megabytes,
// the next small write would copy thousands of pages and wait for the disk. The thread runs at
// a lower priority; its checkpoints never wait for the other connection nor hold it up.
class SqliteCheckpointer {
 public:
  // Takes over the checkpoints of db (a database in WAL mode at path): db's commits then only
  // wake the thread, once the log holds more than `pages` pages.
  // Where no second connection can be opened, SQLite keeps doing it itself.
  SqliteCheckpointer(sqlite3* db, const std::filesystem::path& path, int pages = 1000);
  // Stops the thread and gives the checkpoints back to db's commits.
  ~SqliteCheckpointer();
  SqliteCheckpointer(const SqliteCheckpointer&) = delete;
  SqliteCheckpointer& operator=(const SqliteCheckpointer&) = delete;

 private:
  static int onCommit(void* self, sqlite3* db, const char* schema, int pages);
  void run();

  sqlite3* db_;
  sqlite3* own_ = nullptr;
  int pages_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool wanted_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace tether
