#include "publishing/ConnectionRules.h"

#include <algorithm>
#include <boost/url/encode.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/rfc/pchars.hpp>
#include <boost/url/url.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <cmath>
#include <cstdio>
#include <limits>

#include "core/SaturatingMath.h"

namespace quorvin::rules {

namespace {

std::string formatted(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

// Field by field: the ledger's value when it has one, never below `base`.
int64_t mergedCounter(int64_t base, const std::optional<int64_t>& ledger) {
  return ledger ? std::max(base, *ledger) : base;
}

}  // namespace

std::string shortTokens(int64_t n) {
  const auto v = static_cast<double>(n);
  if (n >= 1'000'000'000'000) return formatted("%.2fT", v / 1e12);
  if (n >= 1'000'000'000) return formatted("%.2fB", v / 1e9);
  if (n >= 1'000'000) return formatted("%.1fM", v / 1e6);
  if (n >= 1000) return formatted("%.0fK", v / 1000);
  return std::to_string(n);
}

std::chrono::seconds uploadBackoff(int64_t failures) {
  const int64_t exponent = std::clamp<int64_t>(failures, 0, 6);
  return std::chrono::seconds(std::min<int64_t>(int64_t{1} << exponent, 60));
}

std::chrono::seconds reconcileBackoff(int64_t failures) {
  const int64_t exponent = std::clamp<int64_t>(failures, 1, 5) - 1;
  return std::chrono::seconds(std::min<int64_t>(60 * (int64_t{1} << exponent), 900));
}

bool shouldQueueUpload(const UploadSchedule& schedule, int64_t pulseTotal, double displayedCost, WallTime now) {
  const bool changed = !schedule.lastUploadedPulseTotal || *schedule.lastUploadedPulseTotal != pulseTotal ||
                       !schedule.lastUploadedPulseCost || *schedule.lastUploadedPulseCost != displayedCost;
  if (schedule.lastScheduledAt) {
    const auto age = now - *schedule.lastScheduledAt;
    if (!(age >= kHeartbeat || (changed && age >= kTickPeriod))) return false;
  }
  return now >= schedule.nextAttemptAt;
}

PulseUpload preservingPendingMetadata(const std::optional<PulseUpload>& pending, PulseUpload next) {
  if (!pending) return next;
  const auto& old = pending->totals;
  const bool lacksModels = next.totals.models.empty() && !old.models.empty();
  const bool lacksAgents = next.totals.agents.empty() && !old.agents.empty();
  if (!lacksModels && !lacksAgents) return next;
  if (next.totals.models.empty()) next.totals.models = old.models;
  if (next.totals.agents.empty()) next.totals.agents = old.agents;
  if (!next.totals.optimizer) next.totals.optimizer = old.optimizer;
  next.totals.accountingRevision.reset();
  return next;
}

PublicOffsets acceptedOffsets(const API::AcceptedTotals& accepted, int64_t tokens, double cost) {
  PublicOffsets offsets;
  // Saturating: a service answer far out of range must not wrap the offset's sign.
  if (accepted.total) offsets.tokenOffset = saturatingSub(*accepted.total, tokens);
  const std::optional<double> basis = accepted.listValue ? accepted.listValue : accepted.cost;
  if (basis) offsets.costOffset = (std::isfinite(*basis) && std::isfinite(cost)) ? *basis - cost : 0.0;
  return offsets;
}

int64_t publicTokens(int64_t tokens, int64_t offset) noexcept {
  return std::max<int64_t>(saturatingAdd(tokens, offset), 0);
}

double publicCost(double cost, double offset) noexcept {
  const double sum = cost + offset;
  if (std::isfinite(sum)) return std::max(sum, 0.0);
  return std::max(cost, 0.0);
}

double planMonthlyPrice(const std::string& plan) noexcept {
  if (plan == "pro") return 20;
  if (plan == "max5") return 100;
  if (plan == "max20") return 200;
  return 0;
}

API::Totals displayFromPulse(LiveBaselines& b, int64_t tokens, double cost, int64_t pulseTotal,
                             const UsageCounters& pulseCounters, double projectedCost, double streamTotal) {
  if (!b.pulseBaseTotal) {
    b.pulseBaseTotal = pulseTotal;
    b.pulseLedgerBaseTotal = std::max(tokens, b.pulseLedgerBaseTotal.value_or(0));
  }
  if (!b.pulseBaseCounters) {
    b.pulseBaseCounters = pulseCounters;
    if (!b.pulseLedgerBaseCounters) b.pulseLedgerBaseCounters = UsageCounters{};
  }
  const int64_t growth = std::max<int64_t>(0, saturatingSub(pulseTotal, *b.pulseBaseTotal));
  const int64_t candidate = saturatingAdd(b.pulseLedgerBaseTotal.value_or(tokens), growth);

  API::Totals totals;
  totals.total = std::max(tokens, candidate);
  totals.cost = std::max(cost, projectedCost);
  const UsageCounters counters =
      pulseCounters.rebased(*b.pulseBaseCounters, b.pulseLedgerBaseCounters.value_or(UsageCounters{}));
  totals.input = counters.input;
  totals.output = counters.output;
  totals.cacheRead = counters.cacheRead;
  totals.cacheWrite = counters.cacheWrite;
  totals.liveTotal = pulseTotal;
  totals.liveCost = streamTotal;
  return totals;
}

API::Totals displayFromLedger(ReconcileBaselines& b, const API::Totals& ledger, const LedgerMergeInput& in) {
  int64_t total = ledger.total;
  double cost = ledger.cost;
  if (ledger.liveTotal) {
    const double liveCost = ledger.liveCost.value_or(ledger.cost);
    if (!b.liveBaseTotal) {
      b.liveBaseTotal = *ledger.liveTotal;
      b.liveBaseCost = liveCost;
      b.ledgerBaseTotal = std::max(in.tokens, ledger.total);
      b.ledgerBaseCost = std::max(in.cost, ledger.cost);
    }
    const int64_t growth = std::max<int64_t>(0, saturatingSub(*ledger.liveTotal, *b.liveBaseTotal));
    total = std::max(saturatingAdd(b.ledgerBaseTotal.value_or(0), growth), ledger.total);
    const double costGrowth = liveCost - b.liveBaseCost.value_or(0);
    cost = costGrowth >= 0 ? std::max(ledger.cost, b.ledgerBaseCost.value_or(0) + costGrowth)
                           : std::max(ledger.cost, b.ledgerBaseCost.value_or(0));
  }

  const UsageCounters floor = in.pulseLedgerBaseCounters.value_or(UsageCounters{});
  API::Totals result;
  result.input = mergedCounter(std::max(in.publishedCounters.input, floor.input), ledger.input);
  result.output = mergedCounter(std::max(in.publishedCounters.output, floor.output), ledger.output);
  result.cacheRead = mergedCounter(std::max(in.publishedCounters.cacheRead, floor.cacheRead), ledger.cacheRead);
  result.cacheWrite = mergedCounter(std::max(in.publishedCounters.cacheWrite, floor.cacheWrite), ledger.cacheWrite);
  if (in.previousPulseTotal) {
    result.liveTotal = *in.previousPulseTotal;
    result.liveCost = in.streamTotal;
  } else {
    result.liveTotal = ledger.liveTotal.value_or(ledger.total);
    result.liveCost = ledger.liveCost.value_or(ledger.cost);
  }
  result.total = std::max(total, in.tokens);
  result.cost = std::max(cost, in.cost);
  result.models = ledger.models;
  result.agents = ledger.agents;
  return result;
}

bool shouldAdoptAccountingRevision(const std::optional<std::string>& revision,
                                   const std::optional<std::string>& current) noexcept {
  if (!revision || revision->empty()) return false;
  if (!current) return true;
  return *revision != *current;
}

void appendPoint(std::vector<UsagePoint>& ticks, UsagePoint point) {
  ticks.push_back(std::move(point));
  if (ticks.size() > kHistoryLimit) ticks.erase(ticks.begin(), ticks.end() - kHistoryLimit);
}

double tokensPerMinute(std::span<const UsagePoint> ticks, WallTime now) {
  const WallTime from = now - std::chrono::seconds(60);
  auto first = std::find_if(ticks.begin(), ticks.end(), [&](const UsagePoint& p) { return p.at >= from; });
  std::vector<const UsagePoint*> window;
  for (auto it = first; it != ticks.end(); ++it) {
    if (it->at >= from) window.push_back(&*it);
  }
  if (window.size() < 2) return 0;
  double sum = 0;
  for (size_t i = 1; i < window.size(); ++i) sum += static_cast<double>(window[i]->delta);
  const double span = std::chrono::duration<double>(window.back()->at - window.front()->at).count();
  return sum / std::max(span, 2.0) * 60.0;
}

UsageCounters recentContext(std::span<const UsagePoint> ticks, WallTime now) {
  auto newest = std::find_if(ticks.rbegin(), ticks.rend(), [](const UsagePoint& p) { return p.isRealtime; });
  if (newest == ticks.rend()) return {};
  const int64_t epoch = newest->contextEpoch;
  const WallTime from = now - std::chrono::seconds(300);
  std::vector<UsageCounters> samples;
  for (const auto& p : ticks) {
    if (p.isRealtime && p.contextEpoch == epoch && p.at >= from) samples.push_back(p.counters);
  }
  if (samples.size() < 2) return {};
  return UsageCounters::accumulatedResetSafeDelta(samples);
}

std::optional<std::string> liveProfileURL(const std::string& api, const std::string& login) {
  auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
  std::string_view handle = login;
  while (!handle.empty() && isSpace(handle.front())) handle.remove_prefix(1);
  while (!handle.empty() && isSpace(handle.back())) handle.remove_suffix(1);
  if (handle.empty() || handle.size() >= 40) return std::nullopt;
  if (handle.front() == '-' || handle.back() == '-' || handle.find("--") != std::string_view::npos) return std::nullopt;
  for (char c : handle) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    if (!ok) return std::nullopt;
  }
  auto parsed = boost::urls::parse_absolute_uri(api);
  if (!parsed || parsed->scheme() != "https" || parsed->encoded_host().empty()) return std::nullopt;
  boost::urls::url url = *parsed;
  url.segments().push_back(std::string(handle));
  url.set_fragment("live");
  return std::string(url.buffer());
}

std::string publicProfileURL(const std::string& api, const std::string& login) {
  return api + "/" + boost::urls::encode(login, boost::urls::pchars) + "#live";
}

std::string newUuid() {
  thread_local boost::uuids::random_generator generator;
  return boost::uuids::to_string(generator());
}

}  // namespace quorvin::rules

namespace quorvin {

int64_t ConnectionState::publicTokens() const noexcept { return rules::publicTokens(tokens, publicTokenOffset); }
double ConnectionState::publicCost() const noexcept { return rules::publicCost(cost, publicCostOffset); }
double ConnectionState::leverage() const noexcept {
  const double price = rules::planMonthlyPrice(plan);
  return price > 0 ? publicCost() / price : 0;
}
double ConnectionState::tokensPerMinute(WallTime now) const { return rules::tokensPerMinute(recentTicks, now); }
UsageCounters ConnectionState::recentContext(WallTime now) const { return rules::recentContext(recentTicks, now); }

}  // namespace quorvin
