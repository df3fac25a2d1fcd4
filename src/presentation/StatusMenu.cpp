#include "presentation/StatusMenu.h"

#include "presentation/PresentationCommands.h"

namespace quorvin::presentation {

namespace {

MenuEntry separator() { return {MenuEntryKind::separator, {}, MenuAction::none, {}, {}, true, false, false}; }

MenuEntry entry(std::string title, MenuAction action, std::string symbol, std::string shortcut = {}) {
  return {MenuEntryKind::action, std::move(title), action, std::move(symbol), std::move(shortcut), true, false, false};
}

}  // namespace

std::vector<MenuEntry> menuEntries(const PresentationState& s, bool withDashboard) {
  std::vector<MenuEntry> out;
  if (withDashboard) {
    out.push_back({MenuEntryKind::dashboard, {}, MenuAction::none, {}, {}, true, false, false});
    out.push_back(separator());
  }
  switch (s.status.kind) {
    case ConnectionStatus::Kind::connected: {
      out.push_back(entry("Refresh exact totals", MenuAction::refreshNow, "arrow.clockwise"));
      out.push_back(entry("Open public chart", MenuAction::openPublicChart, "chart.xyaxis.line"));
      out.push_back(entry("Manage published data", MenuAction::openDataSettings, "person.crop.circle"));
      if (s.cursorStoreExists) {
        auto cursor = entry("Track Cursor usage", MenuAction::toggleCursor, "cursorarrow.rays");
        cursor.checkable = true;
        cursor.checked = s.cursorUsageEnabled;
        out.push_back(cursor);
      }
      auto savings = entry(s.isConfiguringSavings ? "Updating output optimizer…" : "Optimize shell output",
                           MenuAction::toggleSavings, "arrow.down.right.and.arrow.up.left");
      savings.checkable = true;
      savings.checked = s.savingsSnapshot.enabled;
      savings.enabled = !s.isConfiguringSavings;
      out.push_back(savings);
      out.push_back(entry("Show savings plan…", MenuAction::showSavingsPlan, "dollarsign.arrow.circlepath"));
      if (s.launchAtLoginNeedsApproval || s.launchAtLoginError) {
        out.push_back(entry("Allow background launch…", MenuAction::openLoginSettings, "exclamationmark.triangle"));
      }
      if (s.updateVersion) {
        out.push_back(entry("Update to v" + *s.updateVersion + "…", MenuAction::openUpdate, "arrow.down.circle"));
      }
      out.push_back(separator());
      out.push_back(entry("Disconnect this computer…", MenuAction::disconnect, "xmark.circle"));
      break;
    }
    case ConnectionStatus::Kind::pairing:
      out.push_back(entry("Approve pair code " + s.status.code, MenuAction::openPairing, "link"));
      out.push_back(entry("Cancel pairing", MenuAction::cancelPairing, "xmark"));
      break;
    case ConnectionStatus::Kind::disconnected:
      if (s.disconnectCleanupPending) {
        out.push_back(entry(s.disconnectCleanupNeedsApproval ? "Approve credential cleanup" : "Retry credential cleanup",
                            MenuAction::retryCredentialCleanup, "key"));
      } else if (!s.login.empty() && !s.credentialMissing && !s.isDisconnecting) {
        out.push_back(entry("Retry saved pairing", MenuAction::retryKeychain, "key"));
        out.push_back(entry("Pair again", MenuAction::pair, "link"));
      } else {
        out.push_back(entry("Pair this computer", MenuAction::pair, "link", "p"));
      }
      break;
  }
  out.push_back(separator());
  out.push_back(entry("Quit Quorvin", MenuAction::quit, "power", "q"));
  return out;
}

MenuEffect performMenuAction(MenuAction action, const PresentationState& s, PresentationCommands& c) {
  MenuEffect effect;
  switch (action) {
    case MenuAction::none:
      break;
    case MenuAction::refreshNow:
      c.refreshNow();
      break;
    case MenuAction::openPublicChart:
      c.openPublicProfile();
      break;
    case MenuAction::openDataSettings:
      c.openDataSettings();
      break;
    case MenuAction::toggleCursor:
      c.setCursorUsageEnabled(!s.cursorUsageEnabled);
      break;
    case MenuAction::toggleSavings:
      effect.kind = MenuEffect::Kind::showSavingsWindow;
      effect.page = s.savingsSnapshot.enabled ? SavingsPlanPage::results : SavingsPlanPage::apply;
      break;
    case MenuAction::showSavingsPlan:
      effect.kind = MenuEffect::Kind::showSavingsWindow;
      effect.page = SavingsPlanPage::opportunity;
      break;
    case MenuAction::openLoginSettings:
      c.openLoginItemsSettings();
      break;
    case MenuAction::openUpdate:
      c.openUpdate();
      break;
    case MenuAction::openPairing:
      if (s.pairingURL) {
        c.openApproval(*s.pairingURL);
      }
      break;
    case MenuAction::pair:
      c.connect();
      break;
    case MenuAction::retryKeychain:
      c.retryCredentialUnlock(true);
      break;
    case MenuAction::retryCredentialCleanup:
      if (s.disconnectCleanupPending && !s.isDisconnecting) {
        c.beginDisconnectCleanup(s.disconnectCleanupNeedsApproval);
      }
      break;
    case MenuAction::cancelPairing:
      c.cancelPairing();
      break;
    case MenuAction::disconnect:
      effect.kind = MenuEffect::Kind::confirmDisconnect;
      break;
    case MenuAction::quit:
      effect.kind = MenuEffect::Kind::quit;
      break;
  }
  return effect;
}

}  // namespace quorvin::presentation
