#include "presentation/SavingsPlanPresentation.h"
#include "presentation/StatusMenu.h"
#include "presentation/TrayCrowding.h"
#include "support/RecordingCommands.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quorvin::presentation {
namespace {

std::vector<std::string> titles(const std::vector<MenuEntry>& entries) {
  std::vector<std::string> out;
  for (const auto& e : entries) {
    out.push_back(e.kind == MenuEntryKind::dashboard ? "[dashboard]"
                  : e.kind == MenuEntryKind::separator ? "-"
                                                       : e.title);
  }
  return out;
}

TEST(StatusMenu, EntriesFollowTheConnectionState) {
  PresentationState s;
  EXPECT_EQ(titles(menuEntries(s)),
            (std::vector<std::string>{"[dashboard]", "-", "Pair this computer", "-", "Quit Quorvin"}));
  EXPECT_EQ(menuEntries(s)[2].shortcut, "p");
  s.login = "ada";
  EXPECT_EQ(titles(menuEntries(s, false)),
            (std::vector<std::string>{"Retry saved pairing", "Pair again", "-", "Quit Quorvin"}));
  s.credentialMissing = true;
  EXPECT_EQ(titles(menuEntries(s, false))[0], "Pair this computer");
  s.disconnectCleanupPending = true;
  s.disconnectCleanupNeedsApproval = true;
  EXPECT_EQ(titles(menuEntries(s, false))[0], "Approve credential cleanup");

  s = {};
  s.status = ConnectionStatus::pairing("ABCD-1234");
  EXPECT_EQ(titles(menuEntries(s, false)),
            (std::vector<std::string>{"Approve pair code ABCD-1234", "Cancel pairing", "-", "Quit Quorvin"}));

  s = {};
  s.status = ConnectionStatus::connected();
  EXPECT_EQ(titles(menuEntries(s, false)),
            (std::vector<std::string>{"Refresh exact totals", "Open public chart", "Manage published data",
                                      "Optimize shell output", "Show savings plan…", "-", "Disconnect this computer…",
                                      "-", "Quit Quorvin"}));
  s.cursorStoreExists = true;
  s.cursorUsageEnabled = true;
  s.isConfiguringSavings = true;
  s.launchAtLoginNeedsApproval = true;
  s.updateVersion = "2.0.1";
  const auto entries = menuEntries(s, false);
  EXPECT_EQ(titles(entries),
            (std::vector<std::string>{"Refresh exact totals", "Open public chart", "Manage published data",
                                      "Track Cursor usage", "Updating output optimizer…", "Show savings plan…",
                                      "Allow background launch…", "Update to v2.0.1…", "-",
                                      "Disconnect this computer…", "-", "Quit Quorvin"}));
  EXPECT_TRUE(entries[3].checked);
  EXPECT_FALSE(entries[4].enabled);
}

TEST(StatusMenu, ActionsCallTheManagerWithTheirGuards) {
  testing::RecordingCommands commands;
  PresentationState s;
  s.cursorUsageEnabled = true;
  performMenuAction(MenuAction::toggleCursor, s, commands);
  performMenuAction(MenuAction::openPairing, s, commands);  // no URL: nothing
  s.pairingURL = "https://quorvin.example/pair/X";
  performMenuAction(MenuAction::openPairing, s, commands);
  performMenuAction(MenuAction::retryCredentialCleanup, s, commands);  // nothing pending
  s.disconnectCleanupPending = true;
  s.isDisconnecting = true;
  performMenuAction(MenuAction::retryCredentialCleanup, s, commands);  // still disconnecting
  s.isDisconnecting = false;
  s.disconnectCleanupNeedsApproval = true;
  performMenuAction(MenuAction::retryCredentialCleanup, s, commands);
  performMenuAction(MenuAction::retryKeychain, s, commands);
  EXPECT_EQ(commands.calls,
            (std::vector<std::string>{"setCursorUsageEnabled false", "openApproval https://quorvin.example/pair/X",
                                      "beginDisconnectCleanup true", "retryCredentialUnlock true"}));

  // Disconnect only asks for confirmation; the UI calls disconnect after "Disconnect".
  commands.calls.clear();
  EXPECT_EQ(performMenuAction(MenuAction::disconnect, s, commands).kind, MenuEffect::Kind::confirmDisconnect);
  EXPECT_TRUE(commands.calls.empty());
  EXPECT_EQ(performMenuAction(MenuAction::toggleSavings, s, commands).page, SavingsPlanPage::apply);
  s.savingsSnapshot.enabled = true;
  EXPECT_EQ(performMenuAction(MenuAction::toggleSavings, s, commands).page, SavingsPlanPage::results);
  EXPECT_EQ(performMenuAction(MenuAction::showSavingsPlan, s, commands).page, SavingsPlanPage::opportunity);
}

TEST(TrayCrowding, DegradesStepByStepUntilTheOverlay) {
  TrayCrowding c;
  auto step = c.reconcile(true, true);
  EXPECT_TRUE(step.hideOverlay);
  EXPECT_FALSE(step.redraw);

  // Nothing usable: compact, then suppress the cost item to make room for the chart,
  // then bring it back compact, then the overlay.
  step = c.reconcile(false, false);
  EXPECT_EQ(c.mode, StatusBarCostDisplayMode::compact);
  EXPECT_TRUE(step.redraw && step.recheck);
  step = c.reconcile(false, false);
  EXPECT_TRUE(c.costItemSuppressed && c.chartRecoveryAttempted);
  EXPECT_TRUE(step.recheck);
  step = c.reconcile(false, false);
  EXPECT_FALSE(c.costItemSuppressed);
  EXPECT_TRUE(step.redraw);
  step = c.reconcile(false, false);
  EXPECT_TRUE(step.showOverlay);
  EXPECT_EQ(step.logChartVisible, false);
  step = c.reconcile(false, false);
  EXPECT_TRUE(step.showOverlay);
  EXPECT_FALSE(step.logChartVisible);  // logged once

  c.screensChanged();
  EXPECT_EQ(c.mode, StatusBarCostDisplayMode::exact);
  EXPECT_FALSE(c.chartRecoveryAttempted);
}

TEST(TrayCrowding, ChartAloneKeepsTheCostItemState) {
  TrayCrowding c;
  auto step = c.reconcile(true, false);
  EXPECT_EQ(c.mode, StatusBarCostDisplayMode::compact);
  EXPECT_TRUE(step.hideOverlay);
  step = c.reconcile(true, false);
  EXPECT_EQ(step.logChartVisible, true);
  EXPECT_FALSE(step.showOverlay || step.redraw || c.costItemSuppressed);
  c.reconcile(true, true);
  EXPECT_FALSE(c.loggedCrowding);  // re-armed
}

TEST(Overlay, PlacementAndHostedHeight) {
  EXPECT_FALSE(overlayFrame(std::nullopt, {}, 40));
  // Panel 30 points tall at the top of a 1920-wide screen.
  auto frame = overlayFrame(RectF{0, 0, 1920, 1080}, RectF{0, 30, 1920, 1050}, 40);
  ASSERT_TRUE(frame);
  EXPECT_EQ(*frame, (RectF{1920 - 8 - 133, 4, 133, 22}));
  // No panel: still a 22-point strip. A long title is cut to the screen width minus 16.
  frame = overlayFrame(RectF{100, 0, 200, 600}, RectF{100, 0, 200, 600}, 5000);
  EXPECT_EQ(*frame, (RectF{108, 0, 184, 22}));

  EXPECT_EQ(hostedDashboardHeight(0), 300);
  EXPECT_EQ(hostedDashboardHeight(std::nan("")), 300);
  EXPECT_EQ(hostedDashboardHeight(std::numeric_limits<double>::infinity()), 300);
  EXPECT_EQ(hostedDashboardHeight(1000), 720);
  EXPECT_EQ(hostedDashboardHeight(512), 512);
}

TEST(SavingsPlan, BadgeErrorsAndTargets) {
  PresentationState s;
  EXPECT_EQ(savingsBadge(s), "PLAN");
  s.savingsSnapshot.installed = true;
  EXPECT_EQ(savingsBadge(s), "READY");
  s.savingsSnapshot.enabled = true;
  EXPECT_EQ(savingsBadge(s), "RTK ON");
  s.isConfiguringSavings = true;
  EXPECT_EQ(savingsBadge(s), "UPDATING");
  EXPECT_FALSE(savingsInstallEnabled(true, s));

  EXPECT_TRUE(savingsStatusIsError("Homebrew is required to install RTK."));
  EXPECT_TRUE(savingsStatusIsError("RTK setup was cancelled."));
  EXPECT_FALSE(savingsStatusIsError("RTK is on for Codex."));
  EXPECT_FALSE(savingsStatusIsError(std::nullopt));

  EXPECT_EQ(savingsTargetDetail(s), "Add RTK-managed integration blocks only when a supported coding tool is detected.");
  s.savingsTargets = {"Claude Code", "Cursor"};
  EXPECT_EQ(savingsTargetDetail(s),
            "Add RTK-managed integration blocks for Claude Code, Cursor. Existing settings are preserved.");
  s.savingsSnapshot.totalCommands = 12'345;
  EXPECT_EQ(savingsResultsSubtitle(s.savingsSnapshot), "RTK has local evidence from 12,345 compressed shell commands.");
}

}  // namespace
}  // namespace quorvin::presentation
