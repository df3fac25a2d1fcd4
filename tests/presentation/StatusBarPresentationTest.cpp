#include "presentation/StatusBarPresentation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quorvin::presentation {
namespace {

using Mode = StatusBarCostDisplayMode;

TEST(CostText, ClampsNegativesAndGroupsWholeDollars) {
  EXPECT_EQ(cost(-5, Mode::exact), "$0");
  EXPECT_EQ(cost(0, Mode::compact), "$0");
  EXPECT_EQ(cost(std::nan(""), Mode::exact), "$0");
  EXPECT_EQ(cost(1234.4, Mode::exact), "$1,234");
  EXPECT_EQ(cost(2.5, Mode::exact), "$2");  // ties to even
  EXPECT_EQ(cost(999999.6, Mode::exact), "$1,000,000");
  // Beyond the 64-bit range the digits stay exact instead of wrapping.
  EXPECT_EQ(cost(1e20, Mode::exact), "$100,000,000,000,000,000,000");
}

TEST(CostText, CompactThresholdsUseTheUnroundedValue) {
  EXPECT_EQ(compactMoney(999.5), "$1000");
  EXPECT_EQ(compactMoney(999.6), "$1000");
  EXPECT_EQ(compactMoney(1000), "$1K");
  EXPECT_EQ(compactMoney(1499), "$1K");
  EXPECT_EQ(compactMoney(999999), "$1000K");
  EXPECT_EQ(compactMoney(1'000'000), "$1M");
  EXPECT_EQ(compactMoney(1'600'000), "$2M");
  EXPECT_EQ(compactMoney(2'500'000), "$2M");
}

TEST(HeatBar, LevelFollowsTheLogScaleAndSaturates) {
  EXPECT_EQ(heatLevel(0, true), 0);
  EXPECT_EQ(heatLevel(-3, true), 0);
  EXPECT_EQ(heatLevel(std::nan(""), true), 0);
  EXPECT_EQ(heatLevel(5'000'000, false), 0);
  EXPECT_NEAR(heatLevel(1, true), 3.3e-6, 1e-6);
  EXPECT_NEAR(heatLevel(50'000, true), 0.1156, 1e-3);
  EXPECT_DOUBLE_EQ(heatLevel(20'000'000, true), 1.0);
  EXPECT_DOUBLE_EQ(heatLevel(30'000'000, true), 1.0);
  EXPECT_DOUBLE_EQ(heatLevel(std::numeric_limits<double>::infinity(), true), 1.0);
  EXPECT_EQ(heatAccessibilityText(30'000'000, true), "Quorvin usage heat 100 percent");
  EXPECT_EQ(heatAccessibilityText(0, true), "Quorvin usage heat 0 percent");
  EXPECT_EQ(heatAccessibilityText(30'000'000, false), "Quorvin usage heat unavailable");
}

TEST(HeatBar, AnyRateShowsAtLeastTheNubAndTheCursorStaysInTheTrack) {
  const auto idle = heatBarGeometry(0, true);
  EXPECT_EQ(idle.fillWidth, 0);
  EXPECT_DOUBLE_EQ(idle.trackFill.alpha, 0.14);
  EXPECT_DOUBLE_EQ(heatBarGeometry(0, false).trackFill.alpha, 0.09);

  const auto trickle = heatBarGeometry(1, true);
  EXPECT_EQ(trickle.fillWidth, 7);
  EXPECT_DOUBLE_EQ(trickle.cursor.x, 1 + 7 - 1);

  const auto full = heatBarGeometry(30'000'000, true);
  EXPECT_EQ(full.fillWidth, full.track.width);
  EXPECT_DOUBLE_EQ(full.cursor.x, full.track.maxX() - 1);
  EXPECT_EQ(full.cursor.height, 5);
}

PresentationState connected() {
  PresentationState s;
  s.status = ConnectionStatus::connected();
  s.tokensPerMinuteNow = 12'345.6;
  s.tokens = 1'234'567;
  s.cost = 42.2;
  return s;
}

TEST(Tooltip, ConnectedLineAndAttentionRule) {
  auto s = connected();
  EXPECT_EQ(tooltipText(s), "Quorvin · streaming · 12K/min · 1,234,567 tokens · $42");
  EXPECT_EQ(statusColor(s).role, ColorRole::green);
  EXPECT_EQ(costAccessibilityValue(s), "$42, 1,234,567 tokens");

  s.launchAtLoginNeedsApproval = true;
  EXPECT_EQ(tooltipText(s), "Quorvin · needs attention · 12K/min · 1,234,567 tokens · $42");
  EXPECT_EQ(statusColor(s).role, ColorRole::orange);
  s.launchAtLoginNeedsApproval = false;
  s.cursorStatus = "";  // set, even if empty
  EXPECT_TRUE(connectionNeedsAttention(s));

  s = connected();
  s.tokensPerMinuteNow = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(tooltipText(s), "Quorvin · streaming · 0/min · 1,234,567 tokens · $42");
  s.tokensPerMinuteNow = 2.5e12;
  EXPECT_EQ(tooltipText(s), "Quorvin · streaming · 2.50T/min · 1,234,567 tokens · $42");
}

TEST(Tooltip, PairingAndDisconnectedPrecedence) {
  PresentationState s;
  s.status = ConnectionStatus::pairing("ABCD-1234");
  EXPECT_EQ(tooltipText(s), "Quorvin · pair code ABCD-1234");
  EXPECT_EQ(statusColor(s).role, ColorRole::yellow);

  s = {};
  EXPECT_EQ(tooltipText(s), "Quorvin · pair this computer");
  EXPECT_EQ(statusColor(s).role, ColorRole::secondaryLabel);
  s.isUnlockingCredential = true;
  EXPECT_EQ(tooltipText(s), "Quorvin · approve keyring access");
  s.isProbingCredential = true;
  EXPECT_EQ(tooltipText(s), "Quorvin · checking saved pairing");
  s.isPairingRequesting = true;
  EXPECT_EQ(tooltipText(s), "Quorvin · creating a private pair code");
  s.disconnectCleanupPending = true;
  EXPECT_EQ(tooltipText(s), "Quorvin · credential cleanup needs attention");

  // The colour rule ignores isDisconnecting while the tooltip puts it first.
  s = {};
  s.isDisconnecting = true;
  s.isPairingRequesting = true;
  EXPECT_EQ(tooltipText(s), "Quorvin · stopping uploads");
  EXPECT_EQ(statusColor(s).role, ColorRole::yellow);
  s.isPairingRequesting = false;
  EXPECT_EQ(statusColor(s).role, ColorRole::secondaryLabel);
}

}  // namespace
}  // namespace quorvin::presentation
