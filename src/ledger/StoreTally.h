#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "ledger/LedgerScanner.h"

namespace quorvin::ledger {

// One of the agents' own stores (an OpenCode or Hermes database, a Droid session's
// settings): what it holds now, by day and model. Records there are updated in place, so
// a store that changed is read whole again rather than from where it stopped.
struct StoreTally {
  std::string path;
  std::string agent;  // "opencode", "hermes", "droid"
  FileKey key;        // the store itself
  FileKey walKey;     // its write-ahead log; all zero when there is none
  std::map<DayModel, UsageCounters> sums;
  bool operator==(const StoreTally&) const = default;
};

// Every store under `home`. One whose file and write-ahead log are as `cached` saw them
// keeps its cached tally; so does one that cannot be read now, or that is gone (its
// history was still used). Sorted by path.
std::vector<StoreTally> tallyStores(const std::filesystem::path& home, std::vector<StoreTally> cached);

// Adds the stores' sums to `cells`, leaving out days before `since`.
void addStores(Cells& cells, const std::vector<StoreTally>& stores, std::optional<Day> since = std::nullopt);

}  // namespace quorvin::ledger
