#include "sources/CcusagePulse.h"

#include <algorithm>

#include "core/SaturatingMath.h"
#include "sources/CcusageMerge.h"

namespace quorvin::Ccusage {

std::optional<Pulse> buildPulse(const std::optional<LiveUsageOracle::Snapshot>& live, const CursorUsageReading& cursor) {
  if (!live && !cursor.snapshot) return std::nullopt;
  Pulse pulse;
  if (live) {
    pulse.sources = live->sources;
    pulse.models = live->models;
    pulse.sourceTotals = live->sourceTotals;
    pulse.sourceCosts = live->sourceCosts;
    pulse.counters = live->counters;
  }
  if (cursor.snapshot && cursor.isFresh) {
    if (std::find(pulse.sources.begin(), pulse.sources.end(), "cursor") == pulse.sources.end()) {
      pulse.sources.push_back("cursor");
    }
    for (const auto& row : cursor.snapshot->models) {
      if (std::find(pulse.models.begin(), pulse.models.end(), row.name) == pulse.models.end()) {
        pulse.models.push_back(row.name);
      }
    }
    pulse.sourceTotals["cursor"] = std::max<int64_t>(cursor.liveTotal, 0);
    pulse.sourceCosts["cursor"] = cursor.liveCost >= 0 ? cursor.liveCost : 0;
    pulse.counters = CcusageMerge::mergeCounters(
        pulse.counters, UsageCounters{cursor.liveInput, cursor.liveOutput, cursor.liveCacheRead, cursor.liveCacheWrite});
  }
  pulse.total = CcusageMerge::counterTotal(live ? std::optional<UsageCounters>(live->counters) : std::nullopt);
  if (cursor.liveTotal >= 0) pulse.total = saturatingAdd(pulse.total, cursor.liveTotal);
  std::sort(pulse.sources.begin(), pulse.sources.end());
  std::sort(pulse.models.begin(), pulse.models.end());
  pulse.providerWarning = cursor.warning;
  return pulse;
}

}  // namespace quorvin::Ccusage
