#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/UsageCounters.h"
#include "sources/CursorUsageReading.h"
#include "usage/LiveUsageOracle.h"

namespace quorvin::Ccusage {

// The live per-source picture every streaming tick reads.
struct Pulse {
  int64_t total = 0;
  std::vector<std::string> sources;  // ascending
  std::vector<std::string> models;   // ascending
  std::map<std::string, int64_t> sourceTotals;
  std::map<std::string, double> sourceCosts;
  UsageCounters counters;
  std::optional<std::string> providerWarning;
  bool operator==(const Pulse&) const = default;
};

// The log tailer's snapshot with the Cursor reading folded in; nothing when neither has
// anything. A Cursor reading that is not fresh adds its live total only.
std::optional<Pulse> buildPulse(const std::optional<LiveUsageOracle::Snapshot>& live, const CursorUsageReading& cursor);

}  // namespace quorvin::Ccusage
