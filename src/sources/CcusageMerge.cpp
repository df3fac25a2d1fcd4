#include "sources/CcusageMerge.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "core/SaturatingMath.h"
#include "sources/SourceText.h"

namespace quorvin::CcusageMerge {

std::optional<int64_t> addCount(std::optional<int64_t> a, std::optional<int64_t> b) {
  if (a && *a < 0) a.reset();
  if (b && *b < 0) b.reset();
  if (a && b) return saturatingAdd(*a, *b);
  return a ? a : b;
}

double addCost(double a, double b) {
  const double x = std::isfinite(a) && a > 0 ? a : 0;
  const double y = std::isfinite(b) && b > 0 ? b : 0;
  const double sum = x + y;
  return std::isfinite(sum) ? sum : std::numeric_limits<double>::max();
}

namespace {

int64_t nonNegative(int64_t v) { return v < 0 ? 0 : v; }

int64_t addPlain(int64_t a, int64_t b) { return addCount(a, b).value_or(0); }

}  // namespace

std::optional<API::Totals> reconcile(std::optional<API::Totals> ccusage, std::optional<API::Totals> ledger) {
  if (!ledger) {
    if (ccusage) {
      ccusage->liveTotal.reset();
      ccusage->liveCost.reset();
      ccusage->accountingRevision.reset();
    }
    return ccusage;
  }
  ledger->liveTotal.reset();
  ledger->liveCost.reset();
  // A missing tool must not hide a valid ledger.
  if (!ccusage) return ledger;
  const bool corrected = ledger->accountingRevision && !ledger->accountingRevision->empty();
  if (corrected || ledger->total > ccusage->total) {
    if (ledger->models.empty()) ledger->models = ccusage->models;
    ledger->liveTotal = ccusage->total;
    ledger->liveCost = ccusage->cost;
    return ledger;
  }
  ccusage->liveTotal.reset();
  ccusage->liveCost.reset();
  ccusage->accountingRevision.reset();
  return ccusage;
}

int64_t modelTraffic(const API::ModelRow& row) {
  return saturatingAdd(saturatingAdd(nonNegative(row.input), nonNegative(row.output)),
                       saturatingAdd(nonNegative(row.cacheRead), nonNegative(row.cacheWrite)));
}

std::vector<API::ModelRow> mergeModels(const std::vector<API::ModelRow>& a, const std::vector<API::ModelRow>& b) {
  std::vector<API::ModelRow> rows;
  std::unordered_map<std::string, size_t> rowOfName;
  for (const auto* list : {&a, &b}) {
    for (const API::ModelRow& row : *list) {
      auto [it, inserted] = rowOfName.try_emplace(SourceText::lowercased(row.name), rows.size());
      if (inserted) {
        rows.push_back(API::ModelRow{.name = row.name, .input = nonNegative(row.input),
                                     .output = nonNegative(row.output), .cacheRead = nonNegative(row.cacheRead),
                                     .cacheWrite = nonNegative(row.cacheWrite), .cost = addCost(row.cost, 0)});
        continue;
      }
      API::ModelRow& into = rows[it->second];
      into.input = addPlain(into.input, row.input);
      into.output = addPlain(into.output, row.output);
      into.cacheRead = addPlain(into.cacheRead, row.cacheRead);
      into.cacheWrite = addPlain(into.cacheWrite, row.cacheWrite);
      into.cost = addCost(into.cost, row.cost);
    }
  }
  std::sort(rows.begin(), rows.end(), [](const API::ModelRow& x, const API::ModelRow& y) {
    const int64_t tx = modelTraffic(x);
    const int64_t ty = modelTraffic(y);
    if (tx != ty) return tx > ty;
    return x.name < y.name;
  });
  return rows;
}

UsageCounters mergeCounters(const UsageCounters& a, const UsageCounters& b) {
  return UsageCounters{addPlain(a.input, b.input), addPlain(a.output, b.output), addPlain(a.cacheRead, b.cacheRead),
                       addPlain(a.cacheWrite, b.cacheWrite)};
}

int64_t counterTotal(const std::optional<UsageCounters>& counters) {
  if (!counters) return 0;
  return saturatingAdd(saturatingAdd(nonNegative(counters->input), nonNegative(counters->output)),
                       saturatingAdd(nonNegative(counters->cacheRead), nonNegative(counters->cacheWrite)));
}

std::optional<API::Totals> mergeCursor(std::optional<API::Totals> totals, const std::optional<CursorUsageSnapshot>& cursor,
                                       int64_t cursorLiveTotal, double cursorLiveCost) {
  if (!cursor) return totals;
  if (!totals) {
    API::Totals fromCursor;
    fromCursor.total = cursor->total;
    fromCursor.cost = cursor->cost;
    fromCursor.input = cursor->input;
    fromCursor.output = cursor->output;
    fromCursor.cacheRead = cursor->cacheRead;
    fromCursor.cacheWrite = cursor->cacheWrite;
    fromCursor.models = cursor->models;
    fromCursor.agents = {API::AgentRow{.name = "cursor"}};
    fromCursor.liveTotal = cursorLiveTotal;
    fromCursor.liveCost = cursorLiveCost;
    return fromCursor;
  }
  const std::optional<int64_t> liveTotal = addCount(totals->liveTotal.value_or(totals->total), cursorLiveTotal);
  const double liveCost = addCost(totals->liveCost.value_or(totals->cost), cursorLiveCost);
  const bool cursorCounted = std::any_of(totals->agents.begin(), totals->agents.end(), [](const API::AgentRow& row) {
    return SourceText::equalsIgnoringCase(row.name, "cursor");
  });
  totals->liveTotal = liveTotal;
  totals->liveCost = liveCost;
  if (cursorCounted) return totals;

  totals->total = addCount(totals->total, cursor->total).value_or(0);
  totals->cost = addCost(totals->cost, cursor->cost);
  if (totals->input) totals->input = addCount(totals->input, cursor->input);
  if (totals->output) totals->output = addCount(totals->output, cursor->output);
  if (totals->cacheRead) totals->cacheRead = addCount(totals->cacheRead, cursor->cacheRead);
  if (totals->cacheWrite) totals->cacheWrite = addCount(totals->cacheWrite, cursor->cacheWrite);
  totals->models = mergeModels(totals->models, cursor->models);
  totals->agents.insert(totals->agents.begin(), API::AgentRow{.name = "cursor"});
  return totals;
}

}  // namespace quorvin::CcusageMerge
