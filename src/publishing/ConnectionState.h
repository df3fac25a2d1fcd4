#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/Time.h"
#include "core/UsageCounters.h"
#include "sources/ProviderQuotaSnapshot.h"
#include "wire/UsageTotals.h"
#include "wire/ServiceRecords.h"

namespace quorvin {

// Where the connection stands. `pairing` carries the code the browser must approve.
struct ConnectionStatus {
  enum class Kind { disconnected, pairing, connected };
  Kind kind = Kind::disconnected;
  std::string code;  // with pairing

  static ConnectionStatus disconnected() { return {}; }
  static ConnectionStatus pairing(std::string code) { return {Kind::pairing, std::move(code)}; }
  static ConnectionStatus connected() { return {Kind::connected, {}}; }
  bool is(Kind k) const { return kind == k; }
  bool operator==(const ConnectionStatus&) const = default;
};

// Why the manager asks the shell whether a keyring prompt may be shown.
enum class CredentialApprovalPurpose { resumeStreaming, removeLegacyToken };

// One sample of the live history.
struct UsagePoint {
  std::string id;  // random UUID
  WallTime at;
  int64_t total = 0;      // displayed all-time tokens
  int64_t liveTotal = 0;  // the live watcher's total
  double cost = 0;
  int64_t delta = 0;  // tokens added since the previous sample
  UsageCounters counters;
  int64_t contextEpoch = 0;
  bool isRealtime = false;  // streaming tick (true) or reconciliation/cache (false)
  bool operator==(const UsagePoint&) const = default;
};

// The savings advisor's figures the manager attaches to uploads and shows. Filled by the
// savings flow; the manager only reads them.
struct SavingsFigures {
  bool installed = false;
  bool enabled = false;
  int64_t totalCommands = 0;
  int64_t originalTokens = 0;
  int64_t outputTokens = 0;
  int64_t savedTokens = 0;
  double savingsPercent = 0;  // the report's own average, 0 to 100
  bool operator==(const SavingsFigures&) const = default;
};

// Everything the views show. One immutable value: the model thread builds a new one and
// delivers it with one change notification per turn; views only ever read a copy.
struct ConnectionState {
  // Connection
  ConnectionStatus status;
  std::string login;
  std::string plan = "api";
  std::optional<std::string> pairingURL;
  std::optional<std::string> pairingSuccessHandle;
  std::optional<std::string> profileOpenError;
  std::optional<std::string> lastError;
  // Credential
  bool isUnlockingCredential = false;
  bool isProbingCredential = false;
  bool credentialMissing = false;
  bool isPairingRequesting = false;
  bool isDisconnecting = false;
  bool disconnectCleanupPending = false;
  bool disconnectCleanupNeedsApproval = false;
  // Totals
  int64_t tokens = 0;
  double cost = 0;
  int64_t publicTokenOffset = 0;
  double publicCostOffset = 0;
  int64_t tokenDelta = 0;
  int64_t appCount = 0;
  int64_t modelCount = 0;
  std::string topModel;
  std::vector<API::AgentRow> agentBreakdown;
  std::vector<API::ModelRow> modelBreakdown;
  std::vector<std::string> activeSources;
  std::vector<std::string> activeModels;
  int64_t contextInput = 0;
  int64_t contextOutput = 0;
  int64_t contextCacheRead = 0;
  int64_t contextCacheWrite = 0;
  std::vector<UsagePoint> recentTicks;  // at most 180
  std::optional<WallTime> lastSync;
  std::optional<WallTime> lastReconciled;
  bool isReconciling = false;
  // Public chart
  std::vector<API::LiveCandle> publicCandles;
  std::string publicCandleState = "empty";
  bool publicCandleStale = true;
  double publicCandleTokenRate = 0;
  double publicCandleCostRate = 0;
  double publicCandleBucketMs = 1000;
  // Oracle
  std::optional<int64_t> oracleSequence;
  std::optional<WallTime> lastOracleCommit;
  std::optional<std::string> oracleError;
  // Cursor
  std::optional<std::string> cursorStatus;
  bool cursorUsageEnabled = false;
  // Savings (the savings flow fills these)
  SavingsFigures savingsSnapshot;
  std::optional<std::string> savingsStatus;
  bool isConfiguringSavings = false;
  // Update (the update flow fills these)
  std::optional<std::string> updateVersion;
  std::optional<std::string> updateStatus;
  bool isUpdating = false;
  // Launch at login
  bool launchAtLoginNeedsApproval = false;
  bool launchAtLoginEnabled = false;
  std::optional<std::string> launchAtLoginError;
  // Quotas (the quota flow fills these): Codex, then Grok Build.
  std::vector<ProviderQuotaSnapshot> providerQuotas = ProviderQuotaSnapshot::placeholders();

  // When this value was published (the model clock), so views compute time-relative
  // figures against the same "now" as the model.
  WallTime publishedAt;

  bool operator==(const ConnectionState&) const = default;

  // Derived figures, computed from the fields above.
  int64_t publicTokens() const noexcept;
  double publicCost() const noexcept;
  double leverage() const noexcept;
  // Tokens per minute over the last 60 s of samples, as of `now`.
  double tokensPerMinute(WallTime now) const;
  // Tokens used in the last five minutes, by counter, as of `now`.
  UsageCounters recentContext(WallTime now) const;
};

// The commands a view posts back. Every call may come from any thread; the manager runs
// it on its own executor later, so none blocks and none returns a result.
class ConnectionCommands {
 public:
  virtual ~ConnectionCommands() = default;
  virtual void start() = 0;
  virtual void connect() = 0;
  virtual void cancelPairing() = 0;
  virtual void disconnect() = 0;
  virtual void retryCredentialUnlock(bool userInitiated) = 0;
  // The retry-cleanup menu entry; runs only while a cleanup is pending and not running.
  virtual void retryDisconnectCleanup() = 0;
  virtual void refreshNow() = 0;
  virtual void refreshPulse() = 0;
  virtual void prepareForSleep() = 0;
  // The shell's wake: start publishing again when connected.
  virtual void resumeAfterWake() = 0;
  virtual void setCursorUsageEnabled(bool enabled) = 0;
  virtual void setMenuBarPopoverVisible(bool visible) = 0;
  virtual void startPublicCandleUpdatesIfNeeded() = 0;
  virtual void stopPublicCandleUpdates() = 0;
  virtual void openLiveProfile() = 0;
  // The success banner's Dismiss: the banner and any open error go, nothing else changes.
  virtual void dismissPairingSuccess() = 0;
  virtual void openPublicProfile() = 0;
  virtual void openDataSettings() = 0;
  // The quota, savings and update flows (through the manager's SideFlows) and launch at login.
  virtual void startProviderQuotaUpdatesIfNeeded() = 0;
  virtual void stopProviderQuotaUpdates() = 0;
  virtual void refreshSavingsAdvisor() = 0;
  virtual void configureSavings(bool enabled) = 0;
  virtual void checkForUpdates() = 0;
  virtual void openUpdate() = 0;
  virtual void startInstallingUpdate(bool automatic) = 0;
  virtual void noteLaunchAtLoginStatus(bool enabled, bool needsApproval) = 0;
  virtual void noteLaunchAtLoginFailure(std::string message) = 0;
};

}  // namespace quorvin
