#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorvin::server {

class DatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One prepared statement, reset and cleared on every use so a cached statement never
// carries bindings from a previous call.
class Statement {
 public:
  Statement(sqlite3* db, std::string_view sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int index, int64_t value);
  Statement& bind(int index, double value);
  Statement& bind(int index, std::string_view value);
  Statement& bind(int index, const std::optional<int64_t>& value);
  Statement& bind(int index, const std::optional<double>& value);
  Statement& bindNull(int index);

  // True while a row is available; throws on errors.
  bool step();
  void run();  // step to completion, no rows expected

  int64_t int64(int column) const;
  double real(int column) const;
  std::string text(int column) const;
  bool isNull(int column) const;
  std::optional<int64_t> optionalInt64(int column) const;
  std::optional<double> optionalReal(int column) const;

  void reset();

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// A use of a cached statement; resets it when done so no read stays open and pins the WAL.
class Query {
 public:
  explicit Query(Statement& statement) : s_(statement) {}
  ~Query() { s_.reset(); }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  template <class T>
  Query& bind(int index, const T& value) {
    s_.bind(index, value);
    return *this;
  }
  Query& bind(int index, const char* value) {
    s_.bind(index, std::string_view(value));
    return *this;
  }
  Query& bind(int index, const std::string& value) {
    s_.bind(index, std::string_view(value));
    return *this;
  }
  Query& bindNull(int index) {
    s_.bindNull(index);
    return *this;
  }
  bool step() { return s_.step(); }
  void run() { s_.run(); }
  int64_t int64(int column) const { return s_.int64(column); }
  double real(int column) const { return s_.real(column); }
  std::string text(int column) const { return s_.text(column); }
  bool isNull(int column) const { return s_.isNull(column); }
  std::optional<int64_t> optionalInt64(int column) const { return s_.optionalInt64(column); }
  std::optional<double> optionalReal(int column) const { return s_.optionalReal(column); }

 private:
  Statement& s_;
};

// The server's embedded store: one connection, WAL journal, used from one thread at a time.
class Database {
 public:
  explicit Database(const std::filesystem::path& file);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  void exec(std::string_view sql);
  // Prepared once per text and kept.
  Query query(std::string_view sql);
  int64_t lastInsertId() const;
  int changes() const;

 private:
  sqlite3* db_ = nullptr;
  std::map<std::string, std::unique_ptr<Statement>, std::less<>> cache_;
};

// BEGIN IMMEDIATE ... COMMIT; rolls back when destroyed without commit().
class Transaction {
 public:
  explicit Transaction(Database& db);
  ~Transaction();
  void commit();

 private:
  Database& db_;
  bool done_ = false;
};

}  // namespace quorvin::server
