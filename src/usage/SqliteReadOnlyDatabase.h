#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;
struct sqlite3_blob;

namespace quorvin {

// A read-only connection to another program's SQLite store. Opened without the shared
// cache or mutexes (one thread uses it), with a short busy time-out so a writer holding
// the lock delays a tick by at most 50 ms. Every failure is a value, never an exception.
class SqliteReadOnlyDatabase {
 public:
  static std::optional<SqliteReadOnlyDatabase> open(const std::string& path) noexcept;

  SqliteReadOnlyDatabase(SqliteReadOnlyDatabase&& other) noexcept;
  SqliteReadOnlyDatabase& operator=(SqliteReadOnlyDatabase&& other) noexcept;
  ~SqliteReadOnlyDatabase();

  // One prepared statement; steps until it ends.
  class Statement {
   public:
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&& other) noexcept;
    ~Statement();

    void bind(int index, int64_t value) noexcept;
    void bind(int index, std::string_view value) noexcept;
    enum class Step { row, done, failed };
    Step step() noexcept;
    bool isNull(int column) const noexcept;
    int64_t integer(int column) const noexcept;
    std::optional<std::string> text(int column) const noexcept;

   private:
    friend class SqliteReadOnlyDatabase;
    explicit Statement(sqlite3_stmt* statement) noexcept : statement_(statement) {}
    sqlite3_stmt* statement_;
  };

  std::optional<Statement> prepare(std::string_view sql) noexcept;

  // Reads a blob or text cell whole through incremental blob I/O, when it holds 1 to
  // maxBytes bytes. One blob handle is reused across rows of the same column.
  std::optional<std::string> readCell(const char* table, const char* column, int64_t rowID, int maxBytes) noexcept;

  // Whether a table exists: true, false, or none when the schema cannot be read.
  std::optional<bool> hasTable(std::string_view table) noexcept;

 private:
  explicit SqliteReadOnlyDatabase(sqlite3* db) noexcept : db_(db) {}
  void close() noexcept;

  sqlite3* db_ = nullptr;
  sqlite3_blob* blob_ = nullptr;
  std::string blobTable_;
  std::string blobColumn_;
};

}  // namespace quorvin
