#include "server/storage/Database.h"

#include "server/storage/Schema.h"

namespace quorvin::server {

namespace {

[[noreturn]] void fail(sqlite3* db, const char* what) {
  throw DatabaseError(std::string(what) + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory"));
}

}  // namespace

Statement::Statement(sqlite3* db, std::string_view sql) : db_(db) {
  if (sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) !=
      SQLITE_OK) {
    fail(db, "prepare");
  }
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

Statement& Statement::bind(int index, int64_t value) {
  if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) fail(db_, "bind");
  return *this;
}

Statement& Statement::bind(int index, double value) {
  if (sqlite3_bind_double(stmt_, index, value) != SQLITE_OK) fail(db_, "bind");
  return *this;
}

Statement& Statement::bind(int index, std::string_view value) {
  if (sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT) != SQLITE_OK) {
    fail(db_, "bind");
  }
  return *this;
}

Statement& Statement::bind(int index, const std::optional<int64_t>& value) {
  return value ? bind(index, *value) : bindNull(index);
}

Statement& Statement::bind(int index, const std::optional<double>& value) {
  return value ? bind(index, *value) : bindNull(index);
}

Statement& Statement::bindNull(int index) {
  if (sqlite3_bind_null(stmt_, index) != SQLITE_OK) fail(db_, "bind");
  return *this;
}

bool Statement::step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  fail(db_, "step");
}

void Statement::run() {
  while (step()) {
  }
}

int64_t Statement::int64(int column) const { return sqlite3_column_int64(stmt_, column); }
double Statement::real(int column) const { return sqlite3_column_double(stmt_, column); }
std::string Statement::text(int column) const {
  const auto* p = sqlite3_column_text(stmt_, column);
  return p == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(p),
                                                    static_cast<size_t>(sqlite3_column_bytes(stmt_, column)));
}
bool Statement::isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
std::optional<int64_t> Statement::optionalInt64(int column) const {
  return isNull(column) ? std::nullopt : std::optional<int64_t>(int64(column));
}
std::optional<double> Statement::optionalReal(int column) const {
  return isNull(column) ? std::nullopt : std::optional<double>(real(column));
}

void Statement::reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

Database::Database(const std::filesystem::path& file) {
  if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    throw DatabaseError("open " + file.string() + ": " + message);
  }
  sqlite3_busy_timeout(db_, 5000);
  // WAL: a commit is one append to the log, readers never block the writer, and a killed
  // process loses nothing that was committed. NORMAL skips the fsync per commit; only a
  // power cut can lose the last commits, never corrupt the file.
  exec("PRAGMA journal_mode=WAL");
  exec("PRAGMA synchronous=NORMAL");
  exec("PRAGMA foreign_keys=ON");
  createSchema(*this);
}

Database::~Database() {
  cache_.clear();
  sqlite3_close(db_);
}

void Database::exec(std::string_view sql) {
  std::string text(sql);
  char* message = nullptr;
  if (sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    std::string error = message != nullptr ? message : "unknown error";
    sqlite3_free(message);
    throw DatabaseError("exec: " + error);
  }
}

Query Database::query(std::string_view sql) {
  auto it = cache_.find(sql);
  if (it == cache_.end()) it = cache_.emplace(std::string(sql), std::make_unique<Statement>(db_, sql)).first;
  return Query(*it->second);
}

int64_t Database::lastInsertId() const { return sqlite3_last_insert_rowid(db_); }
int Database::changes() const { return sqlite3_changes(db_); }

Transaction::Transaction(Database& db) : db_(db) { db_.exec("BEGIN IMMEDIATE"); }

Transaction::~Transaction() {
  if (!done_) {
    try {
      db_.exec("ROLLBACK");
    } catch (...) {
      // The connection already rolled back (for example after SQLITE_FULL).
    }
  }
}

void Transaction::commit() {
  db_.exec("COMMIT");
  done_ = true;
}

}  // namespace quorvin::server
