#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/Time.h"
#include "ledger/LedgerScanner.h"

namespace quorvin::ledger {

struct RefreshOptions {
  std::vector<LiveUsageOracle::Root> roots;
  std::filesystem::path storesHome;  // the OpenCode, Hermes and Droid stores under it; empty: none
  std::filesystem::path ledgerPath;  // written atomically, 0600
  std::filesystem::path cachePath;   // empty: every run reads everything
  unsigned threads = 2;
  WallTime now{};
  std::function<void(const ScanProgress&)> progress;
  std::optional<Day> reportSince;  // narrows `report` only; the ledger always holds all
};

struct RefreshResult {
  Cells cells;   // the whole history, as written
  Cells report;  // from `reportSince` on
  bool written = false;
  size_t files = 0;
  uint64_t bytesRead = 0;
};

// Every log and store the live oracle reads under `home`, into the ledger's usual place.
RefreshOptions refreshOptionsFor(const std::filesystem::path& home, const LiveUsageOracle::Environment& environment);

// The ledger file's place under a home directory, and its cache beside it.
std::filesystem::path defaultLedgerPath(const std::filesystem::path& home);
std::filesystem::path cachePathFor(const std::filesystem::path& ledgerPath);

// Brings the ledger up to date with every log under the roots: reads only what the
// cache does not already hold, writes the ledger and then the cache. Blocking; for a
// command or a blocking pool.
RefreshResult refreshLedger(const RefreshOptions& options);

}  // namespace quorvin::ledger
