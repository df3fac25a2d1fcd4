#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/Time.h"
#include "core/UsageCounters.h"
#include "wire/UsageTotals.h"
#include "publishing/ConnectionState.h"
#include "wire/ServiceRecords.h"

// The connection manager's decisions that need no I/O: display rules, back-off, the upload
// decision and the merge rules. The manager feeds them its state and applies the results.
namespace quorvin::rules {

inline constexpr std::size_t kHistoryLimit = 180;
inline constexpr std::chrono::seconds kTickPeriod{1};
inline constexpr std::chrono::seconds kHeartbeat{15};
inline constexpr std::chrono::seconds kReconcilePeriod{900};
inline constexpr std::chrono::seconds kOracleInterval{300};
inline constexpr std::chrono::seconds kOracleRetry{30};
inline constexpr std::chrono::seconds kPollInterval{3};
inline constexpr int kMaxPolls = 300;
inline constexpr std::chrono::seconds kKeyringReminder{45};
inline constexpr std::chrono::seconds kCandlePeriod{5};
inline constexpr int64_t kUploadFailureCap = 6;

// Compact token text for the tray: 999, 1K, 1.5M, 2.50B, 1.00T.
std::string shortTokens(int64_t n);

// Wait after the n-th consecutive upload failure: 2, 4, 8, 16, 32, 60, 60 s.
std::chrono::seconds uploadBackoff(int64_t failures);
// Wait after the n-th consecutive reconciliation failure: 60, 120, 240, 480, 900 s.
std::chrono::seconds reconcileBackoff(int64_t failures);

struct UploadSchedule {
  std::optional<int64_t> lastUploadedPulseTotal;
  std::optional<double> lastUploadedPulseCost;
  std::optional<WallTime> lastScheduledAt;
  WallTime nextAttemptAt = WallTime::min();
};
// Whether a streaming tick queues an upload: changed totals at most once a second, an
// unchanged machine every 15 s, nothing during the failure back-off.
bool shouldQueueUpload(const UploadSchedule& schedule, int64_t pulseTotal, double displayedCost, WallTime now);

struct PulseUpload {
  std::string token;
  int64_t epoch = 0;
  API::Totals totals;
  int64_t pulseTotal = 0;
  double displayedCost = 0;
};
// The slot holds one upload; a newer one replaces it but keeps the breakdowns (and the
// optimizer figures) a live tick does not carry.
PulseUpload preservingPendingMetadata(const std::optional<PulseUpload>& pending, PulseUpload next);

struct PublicOffsets {
  std::optional<int64_t> tokenOffset;  // set when the service reported a total
  std::optional<double> costOffset;    // set when it reported a cost or list value
};
PublicOffsets acceptedOffsets(const API::AcceptedTotals& accepted, int64_t tokens, double cost);

// Saturating tokens + offset, never below 0.
int64_t publicTokens(int64_t tokens, int64_t offset) noexcept;
double publicCost(double cost, double offset) noexcept;
double planMonthlyPrice(const std::string& plan) noexcept;

// The live display's baselines (kept by the manager across ticks).
struct LiveBaselines {
  std::optional<int64_t> pulseBaseTotal;
  std::optional<int64_t> pulseLedgerBaseTotal;
  std::optional<UsageCounters> pulseBaseCounters;
  std::optional<UsageCounters> pulseLedgerBaseCounters;
};
// Carries the displayed totals forward by the live watcher's growth since the baseline;
// the displayed total and cost never go down. Takes missing baselines from this pulse.
API::Totals displayFromPulse(LiveBaselines& baselines, int64_t tokens, double cost, int64_t pulseTotal,
                             const UsageCounters& pulseCounters, double projectedCost, double streamTotal);

struct ReconcileBaselines {
  std::optional<int64_t> liveBaseTotal;
  std::optional<double> liveBaseCost;
  std::optional<int64_t> ledgerBaseTotal;
  std::optional<double> ledgerBaseCost;
};
struct LedgerMergeInput {
  int64_t tokens = 0;
  double cost = 0;
  UsageCounters publishedCounters;  // the four context counters as published
  std::optional<UsageCounters> pulseLedgerBaseCounters;
  std::optional<int64_t> previousPulseTotal;
  double streamTotal = 0;
};
// Merges the authoritative ledger into the display without moving it backwards.
API::Totals displayFromLedger(ReconcileBaselines& baselines, const API::Totals& ledger, const LedgerMergeInput& in);

bool shouldAdoptAccountingRevision(const std::optional<std::string>& revision,
                                   const std::optional<std::string>& current) noexcept;

// Appends and keeps the newest kHistoryLimit samples.
void appendPoint(std::vector<UsagePoint>& ticks, UsagePoint point);
double tokensPerMinute(std::span<const UsagePoint> ticks, WallTime now);
UsageCounters recentContext(std::span<const UsagePoint> ticks, WallTime now);

// The profile page of a handle with the fragment "live", or nothing for a handle that is
// not a plain ASCII handle or a base URL that is not https with a host.
std::optional<std::string> liveProfileURL(const std::string& api, const std::string& login);
// base + "/" + percent-encoded login + "#live".
std::string publicProfileURL(const std::string& api, const std::string& login);

std::string newUuid();

}  // namespace quorvin::rules
