#pragma once

#include <string>

#include "wire/UsageTotals.h"

namespace quorvin::app {

// One JSON object: total, cost, the four counters, models, agents, live values and the
// accounting revision (absent values are null).
std::string totalsJson(const API::Totals& totals);
// A readable table of the same figures.
std::string totalsText(const API::Totals& totals);

inline constexpr const char* kNoSourceAnswered =
    "No usage source answered: ccusage gave no totals, no tokens ledger was found, and Cursor usage is off or "
    "unavailable.";

}  // namespace quorvin::app
