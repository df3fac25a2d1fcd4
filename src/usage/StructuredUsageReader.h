#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/Time.h"
#include "core/UsageCounters.h"
#include "usage/FileStamp.h"

namespace quorvin {

// Counts the usage of the agents that keep SQLite stores (OpenCode, Hermes) or one JSON
// settings file per session (Factory Droid). Like log tailing it counts only what
// happens after start: `initialize` records a baseline of every store, and refreshes add
// only growth over what was already seen. Owned and serialised by the live usage oracle.
class StructuredUsageReader {
 public:
  struct Snapshot {
    UsageCounters counters;
    std::set<std::string> sources;
    std::set<std::string> models;
    std::map<std::string, UsageCounters> bySource;
    std::map<std::string, double> costBySource;
  };

  // The database file and its write-ahead log: a commit changes one or the other. File
  // times are coarse (a few milliseconds) and a write-ahead log is rewritten in place
  // after a checkpoint, so the stamps alone can miss a commit; SQLite's own change
  // counters (the database header's, and the shared-memory index header with its
  // per-transaction counter) are compared too, as opaque bytes.
  struct DatabaseRevision {
    FileStamp database;
    std::optional<FileStamp> wal;
    std::string changeCounters;
    bool operator==(const DatabaseRevision&) const = default;
  };

  struct OpenCodeDatabaseState {
    DatabaseRevision revision;
    int64_t maxRowID = 0;
    int64_t maxUpdatedAt = 0;
    std::unordered_map<std::string, UsageCounters> messages;
    std::map<int64_t, WallTime> recentRows;
    WallTime nextFullScan;
    bool requiresFullScan = false;
  };

  struct HermesDatabaseState {
    DatabaseRevision revision;
    int64_t maxRowID = 0;
    std::unordered_map<std::string, UsageCounters> sessions;
    std::map<int64_t, WallTime> recentRows;
    WallTime nextFullScan;
  };

  struct DroidState {
    FileTime modified;
    UsageCounters counters;
    std::string model;
  };

  void initialize(const std::filesystem::path& home, WallTime now);
  void refreshOpenCode(const std::filesystem::path& home, WallTime now);
  void refreshHermes(const std::filesystem::path& home, WallTime now);
  void refreshDroid(const std::filesystem::path& home);

  const Snapshot& snapshot() const noexcept { return snapshot_; }

  // Store locations under a home directory, in the order they are read.
  static std::vector<std::string> openCodeDatabases(const std::filesystem::path& home);
  static std::vector<std::string> hermesDatabases(const std::filesystem::path& home);
  static std::vector<std::string> droidSettingsFiles(const std::filesystem::path& home);

 private:
  struct Row;

  void refreshOpenCodeDatabase(const std::string& path, WallTime now);
  void refreshHermesDatabase(const std::string& path, WallTime now);
  void ingest(const std::vector<Row>& rows, std::unordered_map<std::string, UsageCounters>& seen, const char* source,
              bool emit);
  void add(const UsageCounters& counters, const std::string& source, const std::optional<std::string>& model);

  std::map<std::string, OpenCodeDatabaseState> openCodeStates_;
  std::map<std::string, HermesDatabaseState> hermesStates_;
  // Stores that existed at start but could not be read then.
  std::set<std::string> openCodePendingBaselines_;
  std::set<std::string> hermesPendingBaselines_;
  std::set<std::string> droidPendingBaselines_;
  std::map<std::string, DroidState> droidFiles_;
  Snapshot snapshot_;
};

}  // namespace quorvin
