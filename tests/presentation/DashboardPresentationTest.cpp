#include "presentation/DashboardPresentation.h"
#include "presentation/UsageMixPresentation.h"

#include <gtest/gtest.h>

#include <limits>

namespace quorvin::presentation {
namespace {

using std::chrono::seconds;

TEST(UsageMix, AgentsFoldIntoOtherBeyondTheLimit) {
  const std::vector<API::AgentRow> rows{{"a", 10, 0}, {"b", 10, 0}, {"c", 5, 0}, {"d", 3, 0}, {"e", 2, 0},
                                        {"  ", 50, 0}, {"zero", 0, 0}};
  const auto segments = agentSegments(rows, 4);
  ASSERT_EQ(segments.size(), 4u);
  EXPECT_EQ(segments[0], (AgentUsageSegment{"a", "A", 10, 10.0 / 30}));
  EXPECT_EQ(segments[1].id, "b");
  EXPECT_EQ(segments[2].id, "c");
  EXPECT_EQ(segments[3], (AgentUsageSegment{"other", "Other", 5, 5.0 / 30}));

  const auto four = agentSegments({{"d", 1, 0}, {" c\n", 2, 0}, {"b", 3, 0}, {"a", 4, 0}}, 4);
  ASSERT_EQ(four.size(), 4u);
  EXPECT_EQ(four[1].id, "b");
  EXPECT_EQ(four[2].id, "c");
  EXPECT_TRUE(agentSegments(rows, 0).empty());
  EXPECT_TRUE(agentSegments({{"x", 0, 0}}, 4).empty());

  // Folded tokens saturate instead of wrapping negative.
  const auto big = std::numeric_limits<int64_t>::max();
  const auto folded = agentSegments({{"a", big, 0}, {"b", big, 0}, {"c", big, 0}}, 2);
  EXPECT_EQ(folded[1].tokens, big);
}

TEST(UsageMix, ModelsRankByTrafficAndSaturate) {
  const auto big = std::numeric_limits<int64_t>::max();
  const std::vector<API::ModelRow> rows{{"small", 1, 1, 0, 0, 0},
                                        {"huge", big, big, 1, 1, 0},
                                        {" ", 100, 0, 0, 0, 0},
                                        {"empty", 0, 0, 0, 0, 0},
                                        {"mid", 5, 5, 0, 0, 0},
                                        {"mid2", 5, 5, 0, 0, 0}};
  const auto top = modelRows(rows, 3);
  ASSERT_EQ(top.size(), 3u);
  EXPECT_EQ(top[0].name, "huge");
  EXPECT_EQ(top[0].traffic, big);
  EXPECT_EQ(top[0].output, big);
  EXPECT_EQ(top[1].name, "mid");
  EXPECT_EQ(top[2].name, "mid2");
  EXPECT_NEAR(top[0].fraction, 1.0, 1e-9);
}

TEST(UsageMix, DisplayNames) {
  EXPECT_EQ(displayName("claude code"), "Claude Code");
  EXPECT_EQ(displayName("openclaw"), "Openclaw");
  EXPECT_EQ(displayName("GROK"), "Grok Build");
  EXPECT_EQ(displayName("Grok build"), "Grok Build");
  EXPECT_EQ(displayName("  a  bC "), "A BC");
}

TEST(DashboardTexts, DisconnectedPrecedence) {
  PresentationState s;
  s.isDisconnecting = true;
  s.isUnlockingCredential = true;
  auto summary = disconnectedSummary(s);
  EXPECT_EQ(headerStatusLabel(s), "Disconnecting");
  EXPECT_EQ(summary.title, "Disconnecting Quorvin");
  EXPECT_EQ(summary.progress, "Removing this computer’s credential");
  EXPECT_EQ(summary.message, "Stopping uploads and finishing local credential cleanup.");

  s = {};
  s.disconnectCleanupPending = true;
  s.isPairingRequesting = true;
  summary = disconnectedSummary(s);
  EXPECT_EQ(summary.title, "Finish disconnecting");
  EXPECT_EQ(summary.message, "Requesting a private pair code from Quorvin.");
  EXPECT_EQ(headerStatusLabel(s), "Cleanup");

  s = {};
  s.disconnectCleanupPending = true;
  s.disconnectCleanupNeedsApproval = true;
  EXPECT_EQ(disconnectedSummary(s).message,
            "Uploads stopped. Approve keyring access to finish removing the local credential.");
  s.lastError = "Keyring locked";
  EXPECT_EQ(disconnectedSummary(s).message, "Keyring locked");
  EXPECT_FALSE(disconnectedSummary(s).progress);

  s = {};
  s.login = "ada";
  EXPECT_EQ(disconnectedSummary(s).message, "The saved pairing is available. Retry it or pair this computer again.");
  s.isUnlockingCredential = true;
  s.isProbingCredential = true;
  summary = disconnectedSummary(s);
  EXPECT_EQ(summary.title, "Checking saved pairing");
  EXPECT_EQ(summary.progress, "Checking keyring");
  EXPECT_EQ(summary.message, "Checking this computer for its saved private pairing.");
}

TEST(DashboardTexts, LabelsAndFigures) {
  const WallTime now{seconds(1'000'000)};
  PresentationState s;
  EXPECT_EQ(syncLabel(s, now), "Indexing usage");
  s.lastReconciled = now - seconds(59);
  EXPECT_EQ(syncLabel(s, now), "Indexed now");
  s.lastReconciled = now - seconds(185);
  EXPECT_EQ(syncLabel(s, now), "Indexed 3m ago");

  EXPECT_EQ(leverageLabel(0), "Pay as you go");
  EXPECT_EQ(leverageLabel(2.345), "2.3× plan value");
  EXPECT_EQ(leverageLabel(150.5), "151× plan value");

  s.contextInput = 25;
  s.contextCacheRead = 75;
  EXPECT_DOUBLE_EQ(*displayedReuse(s), 75);
  s.recentContextNow.input = 1;
  s.recentContextNow.cacheRead = 1;
  EXPECT_DOUBLE_EQ(*displayedReuse(s), 50);
  s.recentContextNow = {0, 5, 0, 0};  // recent tokens, but no prompt tokens
  EXPECT_FALSE(displayedReuse(s));

  EXPECT_EQ(savingsValueLabel({0.004, 10, false, 1}), "<$0.01");
  EXPECT_EQ(savingsValueLabel({9.994, 10, false, 1}), "~$9.99");
  EXPECT_EQ(savingsValueLabel({1234.5, 10, false, 1}), "~$1,235");
  EXPECT_EQ(savingsValueLabel({12, 1'500'000, false, 0}), "1.5M");
  EXPECT_EQ(shortTokens(999), "999");
  EXPECT_EQ(savingsSummary({0, 2500, false, 0}, {}),
            "At 10% less fresh context, your observed model mix would avoid about 2.5K tokens. This is a scenario, "
            "not a promise.");
}

TEST(DashboardTexts, LiveMeterUsesTheRecentRealtimeWindowOfTheNewestEpoch) {
  const WallTime now{seconds(10'000)};
  std::vector<UsagePoint> ticks{
      {.at = now - seconds(400), .delta = 9'000, .contextEpoch = 1, .isRealtime = true},  // too old
      {.at = now - seconds(30), .delta = 500, .contextEpoch = 1, .isRealtime = true},     // first of the window: its delta is not counted
      {.at = now - seconds(20), .delta = 600, .contextEpoch = 1, .isRealtime = false},    // from a reconciliation
      {.at = now - seconds(20), .delta = 100, .contextEpoch = 1, .isRealtime = true},
      {.at = now - seconds(10), .delta = -50, .contextEpoch = 1, .isRealtime = true},  // a reset counts as 0
      {.at = now, .delta = 300, .contextEpoch = 1, .isRealtime = true},
  };
  auto meter = liveMeter(ticks, now);
  EXPECT_DOUBLE_EQ(meter.average, 400.0 / 30 * 60);
  EXPECT_DOUBLE_EQ(meter.peak, 300.0 / 10 * 60);

  ticks.push_back({.at = now, .delta = 7, .contextEpoch = 2, .isRealtime = true});  // a new epoch leaves one tick
  meter = liveMeter(ticks, now);
  EXPECT_EQ(meter.average, 0);
  EXPECT_EQ(meter.peak, 0);

  EXPECT_EQ(formatRate(0), "0/min");
  EXPECT_EQ(formatRate(std::numeric_limits<double>::infinity()), "0/min");
  EXPECT_EQ(formatRate(1'234'567), "1.2M/min");
}

TEST(DashboardTexts, AttentionLinesInOrder) {
  PresentationState s;
  s.launchAtLoginError = "denied";
  s.updateVersion = "1.4.0";
  s.cursorStoreExists = true;
  s.cursorStatus = "Cursor export failed";
  s.lastError = "";
  auto lines = attentionLines(s);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].text, "Background launch needs approval in Login Items.");
  EXPECT_EQ(lines[1].text, "Update v1.4.0 is ready.");
  EXPECT_EQ(lines[2].text, "Cursor usage is not included.");
  s.cursorUsageEnabled = true;
  s.lastError = "offline";
  lines = attentionLines(s);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2].text, "Cursor export failed");
  EXPECT_EQ(lines[3].color.role, ColorRole::red);
}

TEST(DashboardTexts, QuotaTiles) {
  const WallTime now{seconds(1'000'000)};
  EXPECT_EQ(quotaTileText(QuotaSnapshot::unavailable(QuotaProvider::grokBuild)).bodyLine,
            "Sign in with the CLI");
  EXPECT_EQ(quotaResetText(std::nullopt, now), "reset —");
  EXPECT_EQ(quotaResetText(now - seconds(5), now), "reset now");
  EXPECT_EQ(quotaResetText(now + seconds(59), now), "reset <1m");
  EXPECT_EQ(quotaResetText(now + seconds(3599), now), "reset 59m");
  EXPECT_EQ(quotaResetText(now + seconds(86400 * 3 + 5), now), "reset 3d");
  EXPECT_EQ(quotaWindowAccessibility({"5H", 42.5, now + seconds(7200)}, now), "5H 43 percent used, reset 2h");
}

}  // namespace
}  // namespace quorvin::presentation
