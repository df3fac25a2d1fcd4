#pragma once

#include <string>
#include <vector>

#include "presentation/PresentationCommands.h"

namespace quorvin::testing {

// Records each command as one line ("connect", "setCursorUsageEnabled true") so tests can
// check what the UI asked of the connection manager.
class RecordingCommands : public presentation::PresentationCommands {
 public:
  std::vector<std::string> calls;

  void refreshNow() override { calls.push_back("refreshNow"); }
  void openPublicProfile() override { calls.push_back("openPublicProfile"); }
  void openDataSettings() override { calls.push_back("openDataSettings"); }
  void openUpdate() override { calls.push_back("openUpdate"); }
  void connect() override { calls.push_back("connect"); }
  void cancelPairing() override { calls.push_back("cancelPairing"); }
  void setCursorUsageEnabled(bool on) override { calls.push_back(std::string("setCursorUsageEnabled ") + flag(on)); }
  void openLoginItemsSettings() override { calls.push_back("openLoginItemsSettings"); }
  void openApproval(const std::string& url) override { calls.push_back("openApproval " + url); }
  void retryCredentialUnlock(bool user) override { calls.push_back(std::string("retryCredentialUnlock ") + flag(user)); }
  void beginDisconnectCleanup(bool allow) override {
    calls.push_back(std::string("beginDisconnectCleanup ") + flag(allow));
  }
  void disconnect() override { calls.push_back("disconnect"); }
  void configureSavings(bool on) override { calls.push_back(std::string("configureSavings ") + flag(on)); }
  void refreshSavingsAdvisor() override { calls.push_back("refreshSavingsAdvisor"); }
  void openLiveProfile() override { calls.push_back("openLiveProfile"); }
  void dismissPairingSuccess() override { calls.push_back("dismissPairingSuccess"); }
  void setMenuBarPopoverVisible(bool on) override {
    calls.push_back(std::string("setMenuBarPopoverVisible ") + flag(on));
  }
  void startPublicCandleUpdatesIfNeeded() override { calls.push_back("startPublicCandleUpdatesIfNeeded"); }
  void startProviderQuotaUpdatesIfNeeded() override { calls.push_back("startProviderQuotaUpdatesIfNeeded"); }
  void stopPublicCandleUpdates() override { calls.push_back("stopPublicCandleUpdates"); }
  void stopProviderQuotaUpdates() override { calls.push_back("stopProviderQuotaUpdates"); }
  void refreshPulse() override { calls.push_back("refreshPulse"); }

 private:
  static const char* flag(bool on) { return on ? "true" : "false"; }
};

}  // namespace quorvin::testing
