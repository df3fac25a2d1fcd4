#pragma once

#include <string>
#include <vector>

#include "presentation/PresentationState.h"

namespace quorvin::presentation {

class PresentationCommands;

// The tray menu's entries for a state, and what each entry does.

enum class MenuAction {
  none,
  refreshNow,
  openPublicChart,
  openDataSettings,
  toggleCursor,
  toggleSavings,
  showSavingsPlan,
  openLoginSettings,
  openUpdate,
  openPairing,
  pair,
  retryKeychain,
  retryCredentialCleanup,
  cancelPairing,
  disconnect,
  quit,
};

enum class MenuEntryKind { dashboard, separator, action };

struct MenuEntry {
  MenuEntryKind kind = MenuEntryKind::action;
  std::string title;
  MenuAction action = MenuAction::none;
  std::string symbol;    // icon role name
  std::string shortcut;  // single key, empty for none
  bool enabled = true;
  bool checkable = false;
  bool checked = false;
  bool operator==(const MenuEntry&) const = default;
};

inline constexpr double kMenuWidth = 368;

// withDashboard: the first two entries are the dashboard and a separator (the right-click
// menu leaves them out; the left-click popup shows the dashboard above the same actions).
std::vector<MenuEntry> menuEntries(const PresentationState& state, bool withDashboard = true);

enum class SavingsPlanPage { opportunity, apply, results };

// What the UI itself has to do after an entry ran its commands.
struct MenuEffect {
  enum class Kind { none, showSavingsWindow, confirmDisconnect, quit } kind = Kind::none;
  SavingsPlanPage page = SavingsPlanPage::opportunity;
};
MenuEffect performMenuAction(MenuAction action, const PresentationState& state, PresentationCommands& commands);

// The disconnect alert's texts.
inline constexpr const char* kDisconnectMessage = "Disconnect this computer?";
inline constexpr const char* kDisconnectInformative =
    "Uploads from this computer stop and its local pairing credential is removed. Your published history stays on "
    "Quorvin.";

}  // namespace quorvin::presentation
