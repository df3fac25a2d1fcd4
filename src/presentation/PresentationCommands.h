#pragma once

#include <string>

namespace quorvin::presentation {

// The connection manager's commands as the UI sees them. The app implements this by posting
// each call to the manager's executor, so every method returns at once and may be called from
// the UI thread.
class PresentationCommands {
 public:
  virtual ~PresentationCommands() = default;

  virtual void refreshNow() = 0;
  virtual void openPublicProfile() = 0;
  virtual void openDataSettings() = 0;
  virtual void openUpdate() = 0;
  virtual void connect() = 0;
  virtual void cancelPairing() = 0;
  virtual void setCursorUsageEnabled(bool enabled) = 0;
  virtual void openLoginItemsSettings() = 0;
  virtual void openApproval(const std::string& url) = 0;
  virtual void retryCredentialUnlock(bool userInitiated) = 0;
  virtual void beginDisconnectCleanup(bool allowInteraction) = 0;
  virtual void disconnect() = 0;
  virtual void configureSavings(bool enabled) = 0;
  virtual void refreshSavingsAdvisor() = 0;
  virtual void openLiveProfile() = 0;
  virtual void dismissPairingSuccess() = 0;
  // The dashboard is on screen: candles and quotas are polled only while it is.
  virtual void setMenuBarPopoverVisible(bool visible) = 0;
  virtual void startPublicCandleUpdatesIfNeeded() = 0;
  virtual void startProviderQuotaUpdatesIfNeeded() = 0;
  virtual void stopPublicCandleUpdates() = 0;
  virtual void stopProviderQuotaUpdates() = 0;
  virtual void refreshPulse() = 0;
};

}  // namespace quorvin::presentation
