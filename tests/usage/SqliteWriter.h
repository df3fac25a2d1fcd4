#pragma once

#include <sqlite3.h>

#include <stdexcept>
#include <string>

namespace quorvin::test {

// A real writer connection, as the agents hold one: WAL journal, commits of its own.
class SqliteWriter {
 public:
  explicit SqliteWriter(const std::string& path, bool wal = true) {
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) throw std::runtime_error("cannot open " + path);
    sqlite3_busy_timeout(db_, 5000);
    if (wal) exec("PRAGMA journal_mode=WAL");
  }
  ~SqliteWriter() { sqlite3_close(db_); }
  SqliteWriter(const SqliteWriter&) = delete;
  SqliteWriter& operator=(const SqliteWriter&) = delete;

  void exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      std::string message = error ? error : "unknown";
      sqlite3_free(error);
      throw std::runtime_error(sql + ": " + message);
    }
  }

  // Runs one statement with text and integer parameters bound in order.
  template <typename... Args>
  void run(const std::string& sql, const Args&... args) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      throw std::runtime_error(sql + ": " + sqlite3_errmsg(db_));
    }
    int index = 0;
    (bind(statement, ++index, args), ...);
    int rc = sqlite3_step(statement);
    sqlite3_finalize(statement);
    if (rc != SQLITE_DONE) throw std::runtime_error(sql + ": " + sqlite3_errmsg(db_));
  }

 private:
  static void bind(sqlite3_stmt* s, int i, const std::string& v) {
    sqlite3_bind_text(s, i, v.c_str(), -1, SQLITE_TRANSIENT);
  }
  static void bind(sqlite3_stmt* s, int i, const char* v) { sqlite3_bind_text(s, i, v, -1, SQLITE_TRANSIENT); }
  static void bind(sqlite3_stmt* s, int i, long long v) { sqlite3_bind_int64(s, i, v); }
  static void bind(sqlite3_stmt* s, int i, int v) { sqlite3_bind_int64(s, i, v); }
  static void bind(sqlite3_stmt* s, int i, std::nullptr_t) { sqlite3_bind_null(s, i); }

  sqlite3* db_ = nullptr;
};

}  // namespace quorvin::test
