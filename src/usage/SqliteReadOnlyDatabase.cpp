#include "usage/SqliteReadOnlyDatabase.h"

#include <sqlite3.h>

#include <utility>

namespace quorvin {

namespace {
constexpr int kBusyTimeoutMs = 50;
}

std::optional<SqliteReadOnlyDatabase> SqliteReadOnlyDatabase::open(const std::string& path) noexcept {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_PRIVATECACHE,
                           nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close(db);
    return std::nullopt;
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  return SqliteReadOnlyDatabase(db);
}

SqliteReadOnlyDatabase::SqliteReadOnlyDatabase(SqliteReadOnlyDatabase&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)),
      blob_(std::exchange(other.blob_, nullptr)),
      blobTable_(std::move(other.blobTable_)),
      blobColumn_(std::move(other.blobColumn_)) {}

SqliteReadOnlyDatabase& SqliteReadOnlyDatabase::operator=(SqliteReadOnlyDatabase&& other) noexcept {
  if (this != &other) {
    close();
    db_ = std::exchange(other.db_, nullptr);
    blob_ = std::exchange(other.blob_, nullptr);
    blobTable_ = std::move(other.blobTable_);
    blobColumn_ = std::move(other.blobColumn_);
  }
  return *this;
}

SqliteReadOnlyDatabase::~SqliteReadOnlyDatabase() { close(); }

void SqliteReadOnlyDatabase::close() noexcept {
  if (blob_) sqlite3_blob_close(blob_);
  blob_ = nullptr;
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
}

std::optional<SqliteReadOnlyDatabase::Statement> SqliteReadOnlyDatabase::prepare(std::string_view sql) noexcept {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &statement, nullptr) != SQLITE_OK ||
      !statement) {
    sqlite3_finalize(statement);
    return std::nullopt;
  }
  return Statement(statement);
}

std::optional<std::string> SqliteReadOnlyDatabase::readCell(const char* table, const char* column, int64_t rowID,
                                                            int maxBytes) noexcept {
  int rc = SQLITE_ERROR;
  if (blob_ && blobTable_ == table && blobColumn_ == column) {
    rc = sqlite3_blob_reopen(blob_, rowID);
  } else {
    if (blob_) sqlite3_blob_close(blob_);
    blob_ = nullptr;
    rc = sqlite3_blob_open(db_, "main", table, column, rowID, 0, &blob_);
    if (rc == SQLITE_OK) {
      blobTable_ = table;
      blobColumn_ = column;
    }
  }
  if (rc != SQLITE_OK) {
    // A failed reopen leaves the handle unusable; a failed open may still hand one back.
    if (blob_) sqlite3_blob_close(blob_);
    blob_ = nullptr;
    return std::nullopt;
  }
  int size = sqlite3_blob_bytes(blob_);
  if (size < 1 || size > maxBytes) return std::nullopt;
  std::string bytes(static_cast<size_t>(size), '\0');
  if (sqlite3_blob_read(blob_, bytes.data(), size, 0) != SQLITE_OK) return std::nullopt;
  return bytes;
}

std::optional<bool> SqliteReadOnlyDatabase::hasTable(std::string_view table) noexcept {
  auto statement = prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ? LIMIT 1");
  if (!statement) return std::nullopt;
  statement->bind(1, table);
  switch (statement->step()) {
    case Statement::Step::row: return true;
    case Statement::Step::done: return false;
    case Statement::Step::failed: return std::nullopt;
  }
  return std::nullopt;
}

SqliteReadOnlyDatabase::Statement::Statement(Statement&& other) noexcept
    : statement_(std::exchange(other.statement_, nullptr)) {}

SqliteReadOnlyDatabase::Statement& SqliteReadOnlyDatabase::Statement::operator=(Statement&& other) noexcept {
  if (this != &other) {
    sqlite3_finalize(statement_);
    statement_ = std::exchange(other.statement_, nullptr);
  }
  return *this;
}

SqliteReadOnlyDatabase::Statement::~Statement() { sqlite3_finalize(statement_); }

void SqliteReadOnlyDatabase::Statement::bind(int index, int64_t value) noexcept {
  sqlite3_bind_int64(statement_, index, value);
}

void SqliteReadOnlyDatabase::Statement::bind(int index, std::string_view value) noexcept {
  sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
}

SqliteReadOnlyDatabase::Statement::Step SqliteReadOnlyDatabase::Statement::step() noexcept {
  switch (sqlite3_step(statement_)) {
    case SQLITE_ROW: return Step::row;
    case SQLITE_DONE: return Step::done;
    default: return Step::failed;
  }
}

bool SqliteReadOnlyDatabase::Statement::isNull(int column) const noexcept {
  return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

int64_t SqliteReadOnlyDatabase::Statement::integer(int column) const noexcept {
  return sqlite3_column_int64(statement_, column);
}

std::optional<std::string> SqliteReadOnlyDatabase::Statement::text(int column) const noexcept {
  if (isNull(column)) return std::nullopt;
  const unsigned char* bytes = sqlite3_column_text(statement_, column);
  if (!bytes) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(sqlite3_column_bytes(statement_, column)));
}

}  // namespace quorvin
