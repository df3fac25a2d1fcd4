#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <unordered_map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "ledger/LogFileTally.h"
#include "usage/LiveUsageOracle.h"

namespace quorvin::ledger {

// What tells a file apart from its earlier self: a file whose identity changed, that
// shrank, or whose bytes before the read position changed is read again from the start.
struct FileKey {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t modifiedNs = 0;
  bool operator==(const FileKey&) const = default;
};

struct ScannedFile {
  std::string path;
  FileKey key;
  uint64_t tailHash = 0;  // hash of the bytes just before `tally.consumed`
  LogFileTally tally;
};

// Every usage log the live oracle would read under these roots; symbolic links are not
// followed. Sorted by path.
std::vector<std::pair<std::string, UsageSource>> discoverLogs(const std::vector<LiveUsageOracle::Root>& roots);

struct ScanProgress {
  uint64_t doneBytes = 0;
  uint64_t totalBytes = 0;
};

// Reads each file on from where its tally stopped (from the start for a fresh tally),
// `threads` files at a time. Files that vanished keep their tally unchanged; the result
// is the same for any thread count and any order of `files`.
void scanFiles(std::vector<ScannedFile*>& files, unsigned threads,
               const std::function<void(const ScanProgress&)>& progress = {});

// Reads the identity of `path` without following a link; nullopt when it is not a
// regular file.
std::optional<FileKey> keyOf(const std::string& path);

// Whether `file` may be read on from its tally's position: same file, not shorter, and
// the bytes before the position unchanged.
bool continues(const ScannedFile& file, const FileKey& now);

// month ("YYYY-MM"), agent, model ("" when the log names none) -> counters.
using Cells = std::map<std::tuple<std::string, std::string, std::string>, UsageCounters>;

// Merges the tallies into cells: Claude messages once across all files, by their largest
// report, on the day and model of their earliest line. Days before `since` are left out.
// Tallies not read this run are merged from their cache blocks, without decoding them.
Cells mergeTallies(const std::vector<const LogFileTally*>& tallies, std::optional<Day> since = std::nullopt);

std::string monthOf(Day day);

}  // namespace quorvin::ledger
