#pragma once

#include <optional>
#include <vector>

#include "core/UsageCounters.h"
#include "sources/CursorLedger.h"
#include "wire/UsageTotals.h"

namespace quorvin::CcusageMerge {

// Which authoritative record wins: a corrected ledger (it carries an accounting revision)
// or one ahead of ccusage; otherwise ccusage (ties go to ccusage). With no ccusage result
// a ledger that parses still answers.
std::optional<API::Totals> reconcile(std::optional<API::Totals> ccusage, std::optional<API::Totals> ledger);

// Adds the Cursor usage to the totals unless an agent row already counts Cursor.
std::optional<API::Totals> mergeCursor(std::optional<API::Totals> totals, const std::optional<CursorUsageSnapshot>& cursor,
                                       int64_t cursorLiveTotal, double cursorLiveCost);

// Rows grouped by lower-cased name (first name shown), sorted by traffic then name.
std::vector<API::ModelRow> mergeModels(const std::vector<API::ModelRow>& a, const std::vector<API::ModelRow>& b);

UsageCounters mergeCounters(const UsageCounters& a, const UsageCounters& b);
int64_t counterTotal(const std::optional<UsageCounters>& counters);
int64_t modelTraffic(const API::ModelRow& row);

// The adding rule: negative operands count as absent, sums of two saturate.
std::optional<int64_t> addCount(std::optional<int64_t> a, std::optional<int64_t> b);
// Negative or non-finite costs count as 0; sums saturate at the largest finite double.
double addCost(double a, double b);

}  // namespace quorvin::CcusageMerge
