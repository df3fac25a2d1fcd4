#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/Clock.h"
#include "core/UsageCounters.h"
#include "core/UsageParserState.h"
#include "core/UsageSource.h"
#include "usage/FileChangeWatcher.h"
#include "usage/FileStamp.h"
#include "usage/StructuredUsageReader.h"
#include "usage/UsageEventLedger.h"
#include "usage/UsageLogParser.h"

namespace quorvin {

struct LiveUsageOracleOptions {
  // Without file events new files are found only by the periodic inventory (and known
  // files by the per-snapshot poll), as when inotify is unavailable.
  bool watchChanges = true;
  // false ignores the birth times the file system reports, as on file systems that
  // record none (ramfs, some network and overlay mounts).
  bool birthTimes = true;
};

// Turns the agents' local logs into running token totals and list-price cost. It tails
// every usage log from a remembered byte offset, hands complete lines to the log parser,
// prices the events, survives truncation, replacement, renaming and rotation, merges the
// structured stores, and returns one snapshot of everything counted since it started.
// Only usage that happens while it runs counts: what a file held when it came into view
// is skipped, except in files created after start.
//
// Not thread-safe: its owner serialises every call (one strand). The watcher it owns
// collects paths on its own thread.
class LiveUsageOracle {
 public:
  struct Root {
    std::string path;  // standardized absolute directory
    UsageSource source;
  };

  // Where agents put their logs beyond the home directory's defaults.
  struct Environment {
    std::optional<std::string> xdgConfigHome;   // XDG_CONFIG_HOME
    std::optional<std::string> claudeConfigDir;  // CLAUDE_CONFIG_DIR, comma-separated
    std::optional<std::string> codexHome;        // CODEX_HOME
    static Environment current();
  };

  struct Snapshot {
    UsageCounters counters;
    std::vector<std::string> sources;  // ascending
    std::vector<std::string> models;   // ascending
    std::map<std::string, int64_t> sourceTotals;
    std::map<std::string, double> sourceCosts;
  };

  struct FileState {
    UsageSource source = UsageSource::claude;
    std::optional<FileIdentity> identity;
    uint64_t offset = 0;     // bytes consumed, including those held in `remainder`
    std::string remainder;   // trailing partial line
    bool discarding = false;  // inside a line too long to keep; dropped up to its line feed
    UsageCounters counters;  // current incarnation
    UsageCounters archived;  // earlier incarnations (before truncation or replacement)
    UsageParserState parser;
    std::set<std::string> models;
    double estimatedCost = 0;
    double archivedCost = 0;
    bool codexPrimed = false;
    std::optional<WallTime> missingSince;  // the path was found empty at this time
  };

  // A log file that existed at start but had not been modified for a day: not polled,
  // only its size is kept, so the usage appended to it later counts from there.
  struct DormantFile {
    FileIdentity identity;
    uint64_t size = 0;
  };

  // A partial line longer than the parser would decode is dropped up to its line feed
  // (an assistant line with a large file write in its tool input can run to megabytes);
  // the buffer is freed once the line is consumed, so it pins no memory at rest.
  static constexpr size_t kMaxPartialLineBytes = UsageLogParser::kMaxLineBytes;

  using Options = LiveUsageOracleOptions;

  // What is read from a file's attributes (LiveUsageOracleFacts.h).
  struct Facts;

  LiveUsageOracle(std::filesystem::path home, WallTime startedAt, const Clock& clock,
                  Environment environment = Environment::current(), Options options = {});
  ~LiveUsageOracle();
  LiveUsageOracle(const LiveUsageOracle&) = delete;
  LiveUsageOracle& operator=(const LiveUsageOracle&) = delete;

  // Everything counted since start. The first call takes the inventory and reads
  // nothing; later calls read what changed. forceScan runs the full inventory now.
  std::optional<Snapshot> snapshot(bool forceScan = false);

  const std::vector<Root>& roots() const noexcept { return roots_; }
  const std::vector<std::string>& watchPaths() const noexcept { return watchPaths_; }
  const std::unordered_map<std::string, FileState>& files() const noexcept { return files_; }
  const std::unordered_map<std::string, DormantFile>& dormantFiles() const noexcept { return dormant_; }

  static std::vector<Root> rootsFor(const std::filesystem::path& home, const Environment& environment);
  static bool passesNameFilter(UsageSource source, std::string_view fileName) noexcept;

 private:

  bool refreshWatcher();
  void initialInventory(WallTime cutoff);
  void fullInventory(WallTime cutoff, WallTime now);
  void discover(const std::string& directory, UsageSource source, WallTime cutoff, WallTime now, bool registerOnly);
  void processChanges(const std::vector<std::string>& paths, WallTime now, bool knownJustPolled);
  void pollKnownFiles(WallTime now);
  void refreshFile(const std::string& path, UsageSource source, const Facts* given, WallTime now);
  void refreshNewFile(const std::string& path, UsageSource source, const Facts& facts, WallTime now);
  void refreshKnownFile(const std::string& path, FileState& state, const Facts& facts, WallTime now);
  std::unordered_map<std::string, FileState>::iterator findByIdentity(const FileIdentity& identity,
                                                                      const std::string& otherThan);
  bool existedBeforeStart(const Facts& facts) const;
  void forgetDepartedFiles(WallTime now);
  void readGrowth(const std::string& path, FileState& state, const Facts& facts, WallTime now);
  void archiveAndReset(FileState& state, std::optional<FileIdentity> identity);
  void primeCodex(const std::string& path, FileState& state);
  void readAppended(const std::string& path, FileState& state, WallTime now);
  void consume(FileState& state, std::string_view bytes, WallTime now);
  void consumeLine(FileState& state, std::string_view line, WallTime now);
  Snapshot aggregate();

  std::unique_ptr<FileChangeWatcher> makeWatcher() const;

  std::filesystem::path home_;
  WallTime startedAt_;
  const Clock& clock_;
  Options options_;
  std::vector<Root> roots_;
  std::vector<std::string> watchPaths_;
  std::set<std::string> watchedPaths_;
  std::unique_ptr<FileChangeWatcher> watcher_;
  std::unordered_map<std::string, FileState> files_;
  std::unordered_map<std::string, DormantFile> dormant_;
  std::set<FileIdentity> soughtIdentities_;  // of missing files, during a full inventory
  StructuredUsageReader structured_;
  bool initialized_ = false;
  WallTime nextFallbackInventory_{};
  std::map<FileIdentity, WallTime> retiredIdentities_;
  UsageEventLedger claudeLedger_;
  std::vector<char> readBuffer_;

  // The file part of the snapshot, recomputed only after a file state changed.
  bool filesChanged_ = true;
  struct FileTotals;
  std::unique_ptr<FileTotals> fileTotals_;
  std::unique_ptr<FileTotals> departed_;  // what deleted files counted before they were forgotten
};

}  // namespace quorvin
