#include "publishing/RealtimeCostTracker.h"

#include <algorithm>

namespace quorvin {

double RealtimeCostTracker::ingest(const std::map<std::string, double>& costs, double ledgerTotal) {
  const double floored = std::max(ledgerTotal, 0.0);
  const bool first = !ledgerBase_;
  if (first) ledgerBase_ = floored;
  if (costs.empty()) return floored;

  const bool reset = std::any_of(costs.begin(), costs.end(), [&](const auto& entry) {
    auto it = previous_.find(entry.first);
    if (it == previous_.end()) return false;
    const double c = entry.second;
    return (c >= 0 && c < it->second) || (c < 0 && it->second > 0);
  });
  if (reset) {
    ledgerBase_ = std::max(ledgerTotal, *ledgerBase_);
    baselines_ = latest_;
  }

  for (const auto& [source, raw] : costs) {
    const double c = std::max(raw, 0.0);
    auto prev = previous_.find(source);
    const bool known = prev != previous_.end();
    if (known && prev->second <= c) {
      streamTotal_ += c - prev->second;
    } else if (!first) {
      streamTotal_ += c;  // new, or restarted from zero
    }
    if (known && c < prev->second) {
      baselines_[source] = c;
    } else if (!baselines_.contains(source)) {
      baselines_[source] = first ? c : 0.0;
    }
    previous_[source] = c;
    latest_[source] = c;
  }

  double live = 0;
  for (const auto& [source, value] : latest_) {
    auto base = baselines_.find(source);
    if (base != baselines_.end()) live += std::max(0.0, value - base->second);
  }
  return std::max(ledgerTotal, *ledgerBase_ + live);
}

void RealtimeCostTracker::rebase(double reconciledCost) {
  ledgerBase_ = std::max(reconciledCost, 0.0);
  baselines_ = latest_;
}

}  // namespace quorvin
