#pragma once

#include <functional>
#include <string>
#include <vector>

#include "presentation/PresentationCommands.h"
#include "presentation/PresentationState.h"
#include "publishing/ConnectionState.h"

namespace quorvin::presentation {

// The manager's published value as the views read it; `now` is the value's publishedAt
// unless a caller needs another instant.
PresentationState presentationState(const ConnectionState& state, const PresentationExtras& extras = {});

// The views' commands posted to the manager. `openUrl` opens the pairing approval page.
class ConnectionCommandsAdapter final : public PresentationCommands {
 public:
  ConnectionCommandsAdapter(ConnectionCommands& manager, std::function<void(const std::string&)> openUrl)
      : manager_(manager), openUrl_(std::move(openUrl)) {}

  void refreshNow() override { manager_.refreshNow(); }
  void openPublicProfile() override { manager_.openPublicProfile(); }
  void openDataSettings() override { manager_.openDataSettings(); }
  void openUpdate() override { manager_.openUpdate(); }
  void connect() override { manager_.connect(); }
  void cancelPairing() override { manager_.cancelPairing(); }
  void setCursorUsageEnabled(bool enabled) override { manager_.setCursorUsageEnabled(enabled); }
  void openLoginItemsSettings() override {}
  void openApproval(const std::string& url) override {
    if (openUrl_) {
      openUrl_(url);
    }
  }
  void retryCredentialUnlock(bool userInitiated) override { manager_.retryCredentialUnlock(userInitiated); }
  // The manager decides about interaction from its own cleanup state.
  void beginDisconnectCleanup(bool) override { manager_.retryDisconnectCleanup(); }
  void disconnect() override { manager_.disconnect(); }
  void configureSavings(bool enabled) override { manager_.configureSavings(enabled); }
  void refreshSavingsAdvisor() override { manager_.refreshSavingsAdvisor(); }
  void openLiveProfile() override { manager_.openLiveProfile(); }
  void dismissPairingSuccess() override { manager_.dismissPairingSuccess(); }
  void setMenuBarPopoverVisible(bool visible) override { manager_.setMenuBarPopoverVisible(visible); }
  void startPublicCandleUpdatesIfNeeded() override { manager_.startPublicCandleUpdatesIfNeeded(); }
  void startProviderQuotaUpdatesIfNeeded() override { manager_.startProviderQuotaUpdatesIfNeeded(); }
  void stopPublicCandleUpdates() override { manager_.stopPublicCandleUpdates(); }
  void stopProviderQuotaUpdates() override { manager_.stopProviderQuotaUpdates(); }
  void refreshPulse() override { manager_.refreshPulse(); }

 private:
  ConnectionCommands& manager_;
  std::function<void(const std::string&)> openUrl_;
};

}  // namespace quorvin::presentation
