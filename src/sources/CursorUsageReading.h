#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sources/CursorLedger.h"

namespace quorvin {

// What the Cursor reader answers: the ledger's snapshot, the usage added since launch
// (the live values), whether the newest export is recent, and a warning for the user.
struct CursorUsageReading {
  std::optional<CursorUsageSnapshot> snapshot;
  int64_t liveTotal = 0;
  double liveCost = 0;
  int64_t liveInput = 0;
  int64_t liveOutput = 0;
  int64_t liveCacheRead = 0;
  int64_t liveCacheWrite = 0;
  bool isFresh = false;
  std::optional<std::string> warning;
  bool operator==(const CursorUsageReading&) const = default;
};

}  // namespace quorvin
