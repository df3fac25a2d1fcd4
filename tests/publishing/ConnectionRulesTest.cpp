#include <gtest/gtest.h>

#include <limits>

#include "publishing/ConnectionRules.h"
#include "publishing/RealtimeCostTracker.h"

namespace quorvin::rules {
namespace {

using std::chrono::seconds;
const WallTime t0 = WallTime(seconds(1'767'225'600));

TEST(DisplayFigures, ShortTextPublicFiguresAndLeverage) {
  EXPECT_EQ(shortTokens(999), "999");
  EXPECT_EQ(shortTokens(1000), "1K");
  EXPECT_EQ(shortTokens(1'500'000), "1.5M");
  EXPECT_EQ(shortTokens(2'500'000'000), "2.50B");
  EXPECT_EQ(shortTokens(3'000'000'000'000), "3.00T");

  EXPECT_EQ(publicTokens(5, -9), 0);
  EXPECT_EQ(publicTokens(std::numeric_limits<int64_t>::max(), 5), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(publicTokens(std::numeric_limits<int64_t>::min() + 1, -5), 0);
  EXPECT_DOUBLE_EQ(publicCost(4, std::numeric_limits<double>::infinity()), 4);
  EXPECT_DOUBLE_EQ(publicCost(4, -10), 0);

  ConnectionState state;
  state.cost = 40;
  state.plan = "api";
  EXPECT_EQ(state.leverage(), 0);
  state.plan = "pro";
  EXPECT_DOUBLE_EQ(state.leverage(), 2);
}

TEST(Backoff, UploadAndReconciliationSchedules) {
  std::vector<int64_t> uploads;
  for (int n = 1; n <= 7; ++n) uploads.push_back(uploadBackoff(std::min<int64_t>(n, kUploadFailureCap)).count());
  EXPECT_EQ(uploads, (std::vector<int64_t>{2, 4, 8, 16, 32, 60, 60}));
  std::vector<int64_t> reconciles;
  for (int n = 1; n <= 6; ++n) reconciles.push_back(reconcileBackoff(n).count());
  EXPECT_EQ(reconciles, (std::vector<int64_t>{60, 120, 240, 480, 900, 900}));
}

TEST(UploadDecision, HeartbeatChangeAndBackoff) {
  UploadSchedule s{100, 1.0, t0, WallTime::min()};
  EXPECT_FALSE(shouldQueueUpload(s, 100, 1.0, t0 + seconds(14)));  // unchanged: heartbeat only
  EXPECT_TRUE(shouldQueueUpload(s, 100, 1.0, t0 + seconds(15)));
  EXPECT_TRUE(shouldQueueUpload(s, 101, 1.0, t0 + seconds(1)));  // changed: once a second
  EXPECT_TRUE(shouldQueueUpload(s, 100, 1.5, t0 + seconds(1)));
  EXPECT_FALSE(shouldQueueUpload(s, 101, 1.0, t0 + std::chrono::milliseconds(999)));
  s.nextAttemptAt = t0 + seconds(20);  // failure back-off
  EXPECT_FALSE(shouldQueueUpload(s, 105, 1.0, t0 + seconds(19)));
  EXPECT_TRUE(shouldQueueUpload(s, 105, 1.0, t0 + seconds(20)));
  EXPECT_TRUE(shouldQueueUpload(UploadSchedule{}, 0, 0, t0));  // nothing uploaded yet
}

TEST(UploadQueue, NewerUploadKeepsThePendingBreakdowns) {
  PulseUpload reconciled;
  reconciled.totals.total = 10;
  reconciled.totals.models = {API::ModelRow{"m", 1, 2, 3, 4, 0.5}};
  reconciled.totals.agents = {API::AgentRow{"claude", 10, 0.5}};
  reconciled.totals.optimizer = API::OptimizerStats{true, 1, 2, 3, 4};
  reconciled.totals.accountingRevision = "r1";
  PulseUpload live;
  live.totals.total = 12;

  const PulseUpload merged = preservingPendingMetadata(reconciled, live);
  EXPECT_EQ(merged.totals.total, 12);
  EXPECT_EQ(merged.totals.models, reconciled.totals.models);
  EXPECT_EQ(merged.totals.agents, reconciled.totals.agents);
  EXPECT_EQ(merged.totals.optimizer, reconciled.totals.optimizer);
  EXPECT_FALSE(merged.totals.accountingRevision);

  live.totals.models = {API::ModelRow{"n"}};
  live.totals.agents = {API::AgentRow{"codex"}};
  EXPECT_EQ(preservingPendingMetadata(reconciled, live).totals.models, live.totals.models);
  EXPECT_EQ(preservingPendingMetadata(std::nullopt, live).totals.total, 12);
}

TEST(AcceptedTotals, OffsetsFollowWhatTheServiceRecorded) {
  auto offsets = acceptedOffsets(API::AcceptedTotals{1200, std::nullopt, std::nullopt}, 1000, 0);
  EXPECT_EQ(offsets.tokenOffset, 200);
  EXPECT_FALSE(offsets.costOffset);
  EXPECT_EQ(publicTokens(1100, *offsets.tokenOffset), 1300);

  offsets = acceptedOffsets(API::AcceptedTotals{std::nullopt, 10.0, 12.0}, 0, 9);
  EXPECT_DOUBLE_EQ(*offsets.costOffset, 3);  // the list value wins
  offsets = acceptedOffsets(API::AcceptedTotals{std::nullopt, std::numeric_limits<double>::quiet_NaN(), std::nullopt}, 0, 9);
  EXPECT_DOUBLE_EQ(*offsets.costOffset, 0);
  // Far out of range: saturates instead of wrapping to the other sign.
  offsets = acceptedOffsets(API::AcceptedTotals{std::numeric_limits<int64_t>::max(), std::nullopt, std::nullopt}, -5, 0);
  EXPECT_EQ(offsets.tokenOffset, std::numeric_limits<int64_t>::max());
}

TEST(LiveDisplay, CarriesCachedTotalsForwardAndNeverGoesDown) {
  LiveBaselines b;
  auto first = displayFromPulse(b, 1000, 2.0, 50, UsageCounters{50, 0, 0, 0}, 2.0, 0);
  EXPECT_EQ(first.total, 1000);
  EXPECT_EQ(b.pulseBaseTotal, 50);
  auto later = displayFromPulse(b, first.total, first.cost, 80, UsageCounters{80, 0, 0, 0}, 2.5, 0.5);
  EXPECT_EQ(later.total, 1030);
  EXPECT_DOUBLE_EQ(later.cost, 2.5);
  EXPECT_EQ(later.input, 30);  // counters rebased from the live base onto zero
  EXPECT_EQ(later.liveTotal, 80);
  EXPECT_EQ(later.liveCost, 0.5);
  // The tailer restarted: its total fell below the base. No growth, no drop.
  auto restarted = displayFromPulse(b, later.total, later.cost, 10, UsageCounters{10, 0, 0, 0}, 1.0, 0.5);
  EXPECT_EQ(restarted.total, 1030);
  EXPECT_DOUBLE_EQ(restarted.cost, 2.5);
}

TEST(LedgerMerge, LiveGrowthOnTopOfTheFirstBaseAndNeverBackwards) {
  ReconcileBaselines b;
  API::Totals ledger;
  ledger.total = 900;
  ledger.cost = 3;
  ledger.liveTotal = 100;
  ledger.input = 500;
  LedgerMergeInput in{1000, 4, UsageCounters{600, 0, 0, 0}, UsageCounters{0, 7, 0, 0}, std::nullopt, 0};
  auto merged = displayFromLedger(b, ledger, in);
  EXPECT_EQ(merged.total, 1000);  // display above the ledger stays
  EXPECT_DOUBLE_EQ(merged.cost, 4);
  EXPECT_EQ(merged.input, 600);
  EXPECT_EQ(merged.output, 7);
  EXPECT_EQ(merged.liveTotal, 100);

  ledger.liveTotal = 150;  // the live figure grew by 50 since the base
  ledger.total = 950;
  merged = displayFromLedger(b, ledger, in);
  EXPECT_EQ(merged.total, 1050);

  ledger.liveTotal.reset();  // no live figure: the ledger itself, floored at the display
  ledger.total = 2000;
  merged = displayFromLedger(b, ledger, in);
  EXPECT_EQ(merged.total, 2000);
}

TEST(AccountingRevision, AdoptedOnlyWhenNew) {
  EXPECT_FALSE(shouldAdoptAccountingRevision(std::nullopt, "a"));
  EXPECT_FALSE(shouldAdoptAccountingRevision(std::string(), std::nullopt));
  EXPECT_TRUE(shouldAdoptAccountingRevision("a", std::nullopt));
  EXPECT_FALSE(shouldAdoptAccountingRevision("a", "a"));
  EXPECT_TRUE(shouldAdoptAccountingRevision("b", "a"));
}

UsagePoint point(int secondsFromStart, int64_t delta, UsageCounters counters = {}, int64_t epoch = 0,
                 bool realtime = true) {
  return UsagePoint{"", t0 + seconds(secondsFromStart), 0, 0, 0, delta, counters, epoch, realtime};
}

TEST(History, TokensPerMinuteRecentContextAndTheBound) {
  std::vector<UsagePoint> ticks{point(0, 0), point(1, 30)};
  EXPECT_DOUBLE_EQ(tokensPerMinute(ticks, t0 + seconds(1)), 900);  // span floored at 2 s
  EXPECT_DOUBLE_EQ(tokensPerMinute(ticks, t0 + seconds(61)), 0);   // first sample left the window

  // A reconciliation re-based the counters (new epoch): the old epoch never shows as a burst.
  std::vector<UsagePoint> context{point(0, 0, {100, 0, 0, 0}, 0), point(1, 0, {110, 0, 0, 0}, 0),
                                  point(2, 0, {5000, 0, 0, 0}, 1, false), point(3, 0, {5000, 0, 0, 0}, 1),
                                  point(4, 0, {5020, 5, 0, 0}, 1)};
  EXPECT_EQ(recentContext(context, t0 + seconds(4)), (UsageCounters{20, 5, 0, 0}));
  EXPECT_EQ(recentContext(context, t0 + seconds(400)), UsageCounters{});

  std::vector<UsagePoint> bounded;
  for (int i = 0; i < 200; ++i) appendPoint(bounded, point(i, i));
  EXPECT_EQ(bounded.size(), kHistoryLimit);
  EXPECT_EQ(bounded.front().delta, 20);
}

TEST(ProfileLinks, OnlyPlainHandlesOnHttpsGetALiveProfile) {
  EXPECT_EQ(liveProfileURL("https://quorvin.app", " alice \n"), "https://quorvin.app/alice#live");
  for (const std::string& bad : std::vector<std::string>{"ab--c", "-ab", "ab-", "a.b", "", std::string(40, 'a'), "al ice", "é"}) {
    EXPECT_FALSE(liveProfileURL("https://quorvin.app", bad)) << bad;
  }
  EXPECT_TRUE(liveProfileURL("https://quorvin.app", std::string(39, 'a')));
  EXPECT_FALSE(liveProfileURL("http://quorvin.app", "alice"));
  EXPECT_EQ(publicProfileURL("https://q.app", "a b"), "https://q.app/a%20b#live");
}

TEST(RealtimeCost, ProjectsLedgerPlusLiveGrowthThroughResets) {
  RealtimeCostTracker tracker;
  EXPECT_DOUBLE_EQ(tracker.ingest({{"a", 5}}, 100), 100);
  EXPECT_DOUBLE_EQ(tracker.baselines().at("a"), 5);
  EXPECT_DOUBLE_EQ(tracker.ingest({{"a", 7}}, 100), 102);
  EXPECT_DOUBLE_EQ(tracker.streamTotal(), 2);
  EXPECT_DOUBLE_EQ(tracker.ingest({{"a", 1}}, 100), 100);  // reset
  EXPECT_DOUBLE_EQ(*tracker.ledgerBase(), 100);
  EXPECT_DOUBLE_EQ(tracker.baselines().at("a"), 1);
  EXPECT_DOUBLE_EQ(tracker.streamTotal(), 3);
  EXPECT_DOUBLE_EQ(tracker.ingest({{"a", 1}, {"b", 4}}, 100), 104);  // b is new: counts in full
  EXPECT_DOUBLE_EQ(tracker.streamTotal(), 7);

  RealtimeCostTracker negative;
  EXPECT_DOUBLE_EQ(negative.ingest({}, -3), 0);
  negative.ingest({{"a", 2}}, 10);
  EXPECT_DOUBLE_EQ(negative.ingest({{"a", -4}}, 10), 10);  // negative figures count as 0

  tracker.rebase(200);
  EXPECT_DOUBLE_EQ(tracker.ingest({{"a", 3}, {"b", 4}}, 200), 202);
}

}  // namespace
}  // namespace quorvin::rules
