#include "usage/StructuredUsageReader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "core/SaturatingMath.h"
#include "core/TextCut.h"
#include "usage/BoundedFileRead.h"
#include "usage/CostSum.h"
#include "usage/SqliteReadOnlyDatabase.h"
#include "usage/StoreRecords.h"
#include "usage/StructuredRecord.h"
#include "usage/UsageCostEstimator.h"

namespace quorvin {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct StructuredUsageReader::Row {
  int64_t rowID = 0;
  std::string key;  // OpenCode message id, Hermes session id
  int64_t updatedAt = 0;
  std::optional<UsageCounters> counters;  // none: the row counts nothing
  std::optional<std::string> model;
};

namespace {

constexpr auto kFullScanInterval = 900s;
constexpr auto kRecentRowLifetime = 60s;
constexpr size_t kRecentRowCount = 64;
constexpr int kMaxMessageBytes = 1 << 20;
constexpr size_t kMaxDroidSettingsBytes = 4 << 20;
constexpr const char* kOpenCode = "opencode";
constexpr const char* kHermes = "hermes";
constexpr const char* kDroid = "droid";

// Up to `length` bytes at `offset`; empty when the file cannot be read.
std::string bytesAt(const std::string& path, off_t offset, size_t length) {
  std::string bytes(length, '\0');
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return {};
  ssize_t n = ::pread(fd, bytes.data(), length, offset);
  ::close(fd);
  bytes.resize(n > 0 ? size_t(n) : 0);
  return bytes;
}

std::optional<StructuredUsageReader::DatabaseRevision> revisionOf(const std::string& path) {
  auto database = fileStamp(path);
  if (!database) return std::nullopt;
  // The header's file change counter (rollback journal) and the first wal-index header,
  // whose transaction counter and last frame move with every WAL commit.
  std::string counters = bytesAt(path, 24, 4) + bytesAt(path + "-shm", 0, 48);
  return StructuredUsageReader::DatabaseRevision{*database, fileStamp(path + "-wal"), std::move(counters)};
}

bool isHidden(const fs::path& path) {
  std::string name = path.filename().string();
  return !name.empty() && name.front() == '.';
}

bool isRegularFile(const fs::path& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}

std::optional<int64_t> largestRowID(SqliteReadOnlyDatabase& db, const char* table) {
  auto statement = db.prepare(std::string("SELECT rowid FROM ") + table + " ORDER BY rowid DESC LIMIT 1");
  if (!statement) return std::nullopt;
  switch (statement->step()) {
    case SqliteReadOnlyDatabase::Statement::Step::row: return statement->integer(0);
    case SqliteReadOnlyDatabase::Statement::Step::done: return 0;
    case SqliteReadOnlyDatabase::Statement::Step::failed: return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

// The row type is private to the reader; these helpers take it as a parameter.
namespace {

// Steps a query whose first two columns are the rowid and the row's id; `fill` reads the
// rest of each row. No value when a step fails part way, so a half-read table never passes
// for a whole one.
template <typename RowT, typename Fill>
std::optional<std::vector<RowT>> collectRows(SqliteReadOnlyDatabase::Statement& statement, Fill fill) {
  std::vector<RowT> rows;
  for (;;) {
    auto step = statement.step();
    if (step == SqliteReadOnlyDatabase::Statement::Step::done) return rows;
    if (step == SqliteReadOnlyDatabase::Statement::Step::failed) return std::nullopt;
    auto id = statement.text(1);
    if (!id) continue;
    RowT row;
    row.rowID = statement.integer(0);
    row.key = std::move(*id);
    fill(row);
    rows.push_back(std::move(row));
  }
}

template <typename RowT>
std::optional<std::vector<RowT>> readOpenCodeRows(SqliteReadOnlyDatabase& db, std::optional<int64_t> fromRow,
                                                  std::optional<int64_t> fromUpdatedAt) {
  std::optional<SqliteReadOnlyDatabase::Statement> statement;
  bool withUpdatedAt = false;
  if (!fromRow) {
    statement = db.prepare("SELECT rowid, id, time_updated FROM message ORDER BY rowid ASC");
    if (!statement) statement = db.prepare("SELECT rowid, id, 0 FROM message ORDER BY rowid ASC");
  } else if (fromUpdatedAt) {
    statement = db.prepare("SELECT rowid, id, time_updated FROM message\nWHERE rowid >= ? OR time_updated >= ? "
                           "ORDER BY rowid ASC");
    withUpdatedAt = statement.has_value();
  } else {
    statement = db.prepare("SELECT rowid, id, time_updated FROM message WHERE rowid >= ? ORDER BY rowid ASC");
  }
  if (fromRow && !statement) {
    // An older schema without `time_updated`.
    statement = db.prepare("SELECT rowid, id, 0 FROM message WHERE rowid >= ? ORDER BY rowid ASC");
  }
  if (!statement) return std::nullopt;
  if (fromRow) statement->bind(1, *fromRow);
  if (withUpdatedAt) statement->bind(2, *fromUpdatedAt);

  return collectRows<RowT>(*statement, [&](RowT& row) {
    row.updatedAt = statement->integer(2);
    if (auto data = db.readCell("message", "data", row.rowID, kMaxMessageBytes)) {
      if (auto usage = StructuredRecord::openCodeMessage(*data)) {
        row.counters = usage->counters;
        row.model = std::move(usage->model);
      }
    }
  });
}

template <typename RowT>
std::optional<std::vector<RowT>> readHermesRows(SqliteReadOnlyDatabase& db, std::optional<int64_t> fromRow) {
  std::string sql =
      "SELECT rowid, id, model, input_tokens, output_tokens, cache_read_tokens,\n"
      "       cache_write_tokens, reasoning_tokens\n"
      "FROM sessions";
  if (fromRow) sql += " WHERE rowid >= ?";
  sql += " ORDER BY rowid ASC";
  auto statement = db.prepare(sql);
  if (!statement) return std::nullopt;
  if (fromRow) statement->bind(1, *fromRow);

  return collectRows<RowT>(*statement, [&](RowT& row) {
    auto figure = [&](int column) { return std::max<int64_t>(statement->integer(column), 0); };
    UsageCounters counters{figure(3), saturatingAdd(figure(4), figure(7)), figure(5), figure(6)};
    std::optional<std::string> model;
    if (auto raw = statement->text(2)) {
      std::string_view name = trimWhitespace(*raw);
      if (!name.empty()) model = std::string(name);
    }
    // A session without a model or usage is not priced work yet.
    if (model && counters.total() >= 1) {
      row.counters = counters;
      row.model = std::move(model);
    }
  });
}

// Forgets a store's pending baseline; true when there was one, so what this first
// successful read finds is a baseline rather than new usage. Whether the store changed
// since start does not matter: a writer that held it through the first snapshot has
// usually changed it, and counting its whole history as live would be far worse than
// missing what it wrote in the meantime.
bool takePendingBaseline(std::set<std::string>& pending, const std::string& path) {
  return pending.erase(path) > 0;
}

template <typename RowT>
void rememberLastRows(std::map<int64_t, WallTime>& recent, const std::vector<RowT>& rows, WallTime now) {
  size_t first = rows.size() > kRecentRowCount ? rows.size() - kRecentRowCount : 0;
  for (size_t i = first; i < rows.size(); ++i) recent[rows[i].rowID] = now;
}

template <typename RowT>
int64_t largestUpdatedAt(const std::vector<RowT>& rows) {
  int64_t largest = 0;
  for (const auto& row : rows) largest = std::max(largest, row.updatedAt);
  return largest;
}

int64_t incrementalStart(const std::map<int64_t, WallTime>& recent, int64_t maxRowID) {
  int64_t start = std::max<int64_t>(saturatingSub(maxRowID, int64_t(kRecentRowCount)), 0) + 1;
  if (!recent.empty()) start = std::min(start, recent.begin()->first);
  return start;
}

void dropOldRecentRows(std::map<int64_t, WallTime>& recent, WallTime now) {
  std::erase_if(recent, [&](const auto& entry) { return entry.second < now - kRecentRowLifetime; });
}

}  // namespace

std::vector<std::string> StructuredUsageReader::openCodeDatabases(const fs::path& home) {
  std::vector<std::string> paths;
  std::error_code ec;
  for (fs::directory_iterator it(home / ".local/share/opencode", ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.empty() || name.front() == '.') continue;
    bool matches = name == "opencode.db" || (name.starts_with("opencode-") && name.ends_with(".db"));
    if (matches && isRegularFile(it->path())) paths.push_back(it->path().string());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

std::vector<std::string> StructuredUsageReader::hermesDatabases(const fs::path& home) {
  std::vector<std::string> paths;
  fs::path root = home / ".hermes";
  std::error_code ec;
  if (fs::exists(root / "state.db", ec)) paths.push_back((root / "state.db").string());
  std::vector<fs::path> profiles;
  for (fs::directory_iterator it(root / "profiles", ec), end; !ec && it != end; it.increment(ec)) {
    profiles.push_back(it->path());
  }
  std::sort(profiles.begin(), profiles.end());
  for (const auto& profile : profiles) {
    if (fs::exists(profile / "state.db", ec)) paths.push_back((profile / "state.db").string());
  }
  return paths;
}

std::vector<std::string> StructuredUsageReader::droidSettingsFiles(const fs::path& home) {
  std::vector<std::string> paths;
  std::error_code ec;
  fs::recursive_directory_iterator it(home / ".factory/sessions", fs::directory_options::skip_permission_denied, ec);
  for (fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
    if (isHidden(it->path())) {
      it.disable_recursion_pending();
      continue;
    }
    std::string name = it->path().filename().string();
    if (name.ends_with(".settings.json") && it->is_regular_file(ec)) paths.push_back(it->path().string());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

namespace {

struct DroidRead {
  std::optional<StructuredRecord::Usage> usage;
  bool decoded = false;  // a whole settings file, whether or not it counts anything
};

DroidRead readDroidSettings(const std::string& path) {
  auto text = readBoundedFile(path, kMaxDroidSettingsBytes);
  if (!text) return {};
  return {StructuredRecord::droidSettings(*text), StructuredRecord::isJsonObject(*text)};
}

}  // namespace

void StructuredUsageReader::initialize(const fs::path& home, WallTime now) {
  for (const auto& path : openCodeDatabases(home)) {
    auto revision = revisionOf(path);
    if (!revision) continue;
    auto db = SqliteReadOnlyDatabase::open(path);
    auto rows = db ? readOpenCodeRows<Row>(*db, std::nullopt, std::nullopt) : std::nullopt;
    if (!rows) {
      std::optional<bool> present = db ? db->hasTable("message") : std::nullopt;
      if (present.value_or(true)) openCodePendingBaselines_.insert(path);
      continue;
    }
    OpenCodeDatabaseState state;
    state.revision = *revision;
    for (const auto& row : *rows) {
      if (row.counters && row.counters->total() > 0) state.messages[row.key] = *row.counters;
      state.maxRowID = std::max(state.maxRowID, row.rowID);
    }
    state.maxUpdatedAt = largestUpdatedAt(*rows);
    rememberLastRows(state.recentRows, *rows, now);
    state.nextFullScan = now + kFullScanInterval;
    openCodeStates_[path] = std::move(state);
  }

  for (const auto& path : hermesDatabases(home)) {
    auto revision = revisionOf(path);
    if (!revision) continue;
    auto db = SqliteReadOnlyDatabase::open(path);
    auto rows = db ? readHermesRows<Row>(*db, std::nullopt) : std::nullopt;
    if (!rows) {
      std::optional<bool> present = db ? db->hasTable("sessions") : std::nullopt;
      if (present.value_or(true)) hermesPendingBaselines_.insert(path);
      continue;
    }
    HermesDatabaseState state;
    state.revision = *revision;
    for (const auto& row : *rows) {
      if (row.counters) state.sessions[row.key] = *row.counters;
      state.maxRowID = std::max(state.maxRowID, row.rowID);
    }
    rememberLastRows(state.recentRows, *rows, now);
    state.nextFullScan = now + kFullScanInterval;
    hermesStates_[path] = std::move(state);
  }

  for (const auto& path : droidSettingsFiles(home)) {
    auto stamp = fileStamp(path);
    auto read = readDroidSettings(path);
    if (!read.usage) {
      // Half-written or unreadable now: its first whole read is the baseline. A whole
      // file without usage yet has a baseline of nothing, so it is not pending.
      if (!read.decoded) droidPendingBaselines_.insert(path);
      continue;
    }
    const auto& usage = *read.usage;
    droidFiles_[path] = DroidState{stamp ? stamp->modified : FileTime{}, usage.counters, usage.model.value_or("droid")};
  }
}

void StructuredUsageReader::refreshOpenCode(const fs::path& home, WallTime now) {
  for (const auto& path : openCodeDatabases(home)) refreshOpenCodeDatabase(path, now);
}

void StructuredUsageReader::refreshHermes(const fs::path& home, WallTime now) {
  for (const auto& path : hermesDatabases(home)) refreshHermesDatabase(path, now);
}

void StructuredUsageReader::refreshOpenCodeDatabase(const std::string& path, WallTime now) {
  auto revision = revisionOf(path);
  if (!revision) return;
  auto known = openCodeStates_.find(path);
  if (known == openCodeStates_.end()) {
    // A database that appeared after start counts in full; one that was unreadable at
    // start is only a baseline if it has not changed since.
    auto db = SqliteReadOnlyDatabase::open(path);
    auto rows = db ? readOpenCodeRows<Row>(*db, std::nullopt, std::nullopt) : std::nullopt;
    if (!rows) return;
    OpenCodeDatabaseState state;
    state.revision = *revision;
    state.maxRowID = rows->empty() ? 0 : rows->back().rowID;
    state.maxUpdatedAt = largestUpdatedAt(*rows);
    rememberLastRows(state.recentRows, *rows, now);
    state.nextFullScan = now + kFullScanInterval;
    bool emit = !takePendingBaseline(openCodePendingBaselines_, path);
    ingest(*rows, state.messages, kOpenCode, emit);
    openCodeStates_[path] = std::move(state);
    return;
  }

  OpenCodeDatabaseState& state = known->second;
  bool replaced = state.revision.database.identity != revision->database.identity;
  bool changed = state.revision != *revision;
  if (changed) state.requiresFullScan = true;
  bool scan = changed || replaced || (state.requiresFullScan && now >= state.nextFullScan);
  if (!scan) return;

  auto db = SqliteReadOnlyDatabase::open(path);
  if (!db) return;
  auto largest = largestRowID(*db, "message");
  if (!largest) return;
  bool reset = replaced || *largest < state.maxRowID;
  dropOldRecentRows(state.recentRows, now);
  bool full = reset || now >= state.nextFullScan;
  auto rows = full ? readOpenCodeRows<Row>(*db, std::nullopt, std::nullopt)
                   : readOpenCodeRows<Row>(*db, incrementalStart(state.recentRows, state.maxRowID),
                                           state.maxUpdatedAt);
  if (!rows) return;

  ingest(*rows, state.messages, kOpenCode, true);
  int64_t oldMax = state.maxRowID;
  state.maxRowID = *largest;
  state.maxUpdatedAt = reset ? largestUpdatedAt(*rows) : std::max(state.maxUpdatedAt, largestUpdatedAt(*rows));
  if (reset) {
    state.recentRows.clear();
    rememberLastRows(state.recentRows, *rows, now);
  } else {
    for (const auto& row : *rows) {
      if (row.rowID > oldMax) state.recentRows[row.rowID] = now;
    }
  }
  if (full) {
    state.nextFullScan = now + kFullScanInterval;
    state.requiresFullScan = false;
  }
  state.revision = *revision;
}

void StructuredUsageReader::refreshHermesDatabase(const std::string& path, WallTime now) {
  auto revision = revisionOf(path);
  if (!revision) return;
  auto known = hermesStates_.find(path);
  if (known == hermesStates_.end()) {
    auto db = SqliteReadOnlyDatabase::open(path);
    auto rows = db ? readHermesRows<Row>(*db, std::nullopt) : std::nullopt;
    if (!rows) return;
    HermesDatabaseState state;
    state.revision = *revision;
    state.maxRowID = rows->empty() ? 0 : rows->back().rowID;
    rememberLastRows(state.recentRows, *rows, now);
    state.nextFullScan = now + kFullScanInterval;
    bool emit = !takePendingBaseline(hermesPendingBaselines_, path);
    ingest(*rows, state.sessions, kHermes, emit);
    hermesStates_[path] = std::move(state);
    return;
  }

  HermesDatabaseState& state = known->second;
  bool replaced = state.revision.database.identity != revision->database.identity;
  if (!replaced && now < state.nextFullScan && state.revision == *revision) return;

  auto db = SqliteReadOnlyDatabase::open(path);
  if (!db) return;
  auto largest = largestRowID(*db, "sessions");
  if (!largest) return;
  bool reset = replaced || *largest < state.maxRowID;
  dropOldRecentRows(state.recentRows, now);
  bool full = reset || now >= state.nextFullScan;
  auto rows = readHermesRows<Row>(*db, full ? std::nullopt
                                            : std::optional<int64_t>(incrementalStart(state.recentRows, state.maxRowID)));
  if (!rows) return;

  ingest(*rows, state.sessions, kHermes, true);
  int64_t oldMax = state.maxRowID;
  state.maxRowID = *largest;
  if (reset) {
    state.recentRows.clear();
    rememberLastRows(state.recentRows, *rows, now);
  } else {
    for (const auto& row : *rows) {
      if (row.rowID > oldMax) state.recentRows[row.rowID] = now;
    }
  }
  if (full) state.nextFullScan = now + kFullScanInterval;
  state.revision = *revision;
}

void StructuredUsageReader::refreshDroid(const fs::path& home) {
  for (const auto& path : droidSettingsFiles(home)) {
    auto stamp = fileStamp(path);
    FileTime modified = stamp ? stamp->modified : FileTime{};
    auto known = droidFiles_.find(path);
    if (known != droidFiles_.end() && !(modified > known->second.modified)) continue;
    auto usage = readDroidSettings(path).usage;
    if (!usage) continue;
    DroidState state{modified, usage->counters, usage->model.value_or("droid")};
    UsageCounters delta = state.counters;
    if (known != droidFiles_.end() && state.counters.total() >= known->second.counters.total()) {
      delta = state.counters.growthOver(known->second.counters);
    }
    if (known != droidFiles_.end() || !takePendingBaseline(droidPendingBaselines_, path)) add(delta, kDroid, state.model);
    droidFiles_[path] = std::move(state);
  }
}

void StructuredUsageReader::ingest(const std::vector<Row>& rows, std::unordered_map<std::string, UsageCounters>& seen,
                                   const char* source, bool emit) {
  for (const auto& row : rows) {
    if (!row.counters) continue;
    auto previous = seen.find(row.key);
    if (emit) {
      UsageCounters delta = *row.counters;
      // A total that went down is a rewritten record: it counts anew.
      if (previous != seen.end() && previous->second.total() <= row.counters->total()) {
        delta = row.counters->growthOver(previous->second);
      }
      add(delta, source, row.model);
    }
    if (previous != seen.end()) {
      previous->second = *row.counters;
    } else {
      seen.emplace(row.key, *row.counters);
    }
  }
}

void StructuredUsageReader::add(const UsageCounters& counters, const std::string& source,
                                const std::optional<std::string>& model) {
  if (counters.total() < 1) return;
  snapshot_.counters += counters;
  snapshot_.bySource[source] += counters;
  snapshot_.sources.insert(source);
  if (model && !model->empty()) {
    std::string label = prefixOfCharacters(*model, 48);
    snapshot_.costBySource[source] =
        addCost(snapshot_.costBySource[source], UsageCostEstimator::estimate(counters, label));
    snapshot_.models.insert(std::move(label));
  }
}

namespace StoreRecords {

namespace {

struct Row {
  int64_t rowID = 0;
  std::string key;
  int64_t updatedAt = 0;
  std::optional<UsageCounters> counters;
  std::optional<std::string> model;
};

}  // namespace

std::optional<std::vector<Record>> openCode(const std::string& path) {
  auto db = SqliteReadOnlyDatabase::open(path);
  auto rows = db ? readOpenCodeRows<Row>(*db, std::nullopt, std::nullopt) : std::nullopt;
  if (!rows) return std::nullopt;
  std::vector<Record> records;
  for (auto& row : *rows) {
    if (row.counters && row.counters->total() > 0) {
      records.push_back({std::move(row.key), row.updatedAt, *row.counters, std::move(row.model)});
    }
  }
  return records;
}

std::optional<std::vector<Record>> hermes(const std::string& path) {
  auto db = SqliteReadOnlyDatabase::open(path);
  auto rows = db ? readHermesRows<Row>(*db, std::nullopt) : std::nullopt;
  if (!rows) return std::nullopt;
  std::vector<Record> records;
  for (auto& row : *rows) {
    if (row.counters) records.push_back({std::move(row.key), 0, *row.counters, std::move(row.model)});
  }
  return records;
}

std::optional<Record> droid(const std::string& path) {
  auto usage = readDroidSettings(path).usage;
  if (!usage) return std::nullopt;
  return Record{path, 0, usage->counters, usage->model.value_or(kDroid)};
}

}  // namespace StoreRecords

}  // namespace quorvin
