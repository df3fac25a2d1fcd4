#pragma once

#include <string>

#include "core/Time.h"
#include "usage/LiveUsageOracle.h"

namespace quorvin::app {

// One JSON object (one line, no line break) for `quorvin usage --json`.
std::string usageSnapshotJson(const LiveUsageOracle::Snapshot& snapshot);

// The compact live table: tokens and cost per source, the four counters, models seen.
std::string usageSnapshotTable(const LiveUsageOracle::Snapshot& snapshot, WallTime startedAt);

}  // namespace quorvin::app
