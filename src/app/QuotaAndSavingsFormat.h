#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/Time.h"
#include "savings/TokenSavingsSnapshot.h"
#include "sources/ProviderQuotaSnapshot.h"

namespace quorvin::app {

// `quorvin quotas`: each provider with its status word and one row per window (label, used
// percentage, reset text), or why there is none.
std::string quotasText(const std::vector<ProviderQuotaSnapshot>& snapshots, WallTime now);
// {"quotas":[{"provider","availability","fetchedAt","windows":[{"label","usedPercent","resetsAt","resetText"}]}]}
std::string quotasJson(const std::vector<ProviderQuotaSnapshot>& snapshots, WallTime now);

// `quorvin savings`: RTK's state and report, then the projected value of its savings.
std::string savingsText(const TokenSavingsSnapshot& snapshot, const TokenSavingsProjection& projection);
// {"snapshot":{...},"projection":{...}}, keys as the fields are named.
std::string savingsJson(const TokenSavingsSnapshot& snapshot, const TokenSavingsProjection& projection);

}  // namespace quorvin::app
