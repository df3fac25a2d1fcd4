#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/Time.h"
#include "core/UsageCounters.h"
#include "wire/UsageTotals.h"
#include "wire/ServiceRecords.h"

namespace quorvin::presentation {

// The connection manager's published properties that the tray, dashboard and savings window
// show, copied into one immutable value per change notification. The UI never reads the
// manager itself, so it can run on its own thread.

enum class ConnectionStatus { disconnected, pairing, connected };

// One sample of the manager's live history.
struct UsagePoint {
  WallTime at{};
  int64_t total = 0;
  double cost = 0;
  int64_t delta = 0;
  int64_t contextEpoch = 0;
  bool isRealtime = false;
};

struct SavingsSnapshot {
  bool installed = false;
  bool enabled = false;
  std::optional<std::string> version;
  int64_t totalCommands = 0;
  int64_t originalTokens = 0;
  int64_t outputTokens = 0;
  int64_t savedTokens = 0;
  double savingsPercent = 0;
  std::optional<std::string> error;
};

struct SavingsProjection {
  double estimatedUSD = 0;
  int64_t tokens = 0;
  bool measured = false;
  double inputPriceCoverage = 0;
};

enum class QuotaProvider { codex, grokBuild };
enum class QuotaAvailability { checking, available, unavailable };

struct QuotaWindow {
  std::string label;
  double usedPercent = 0;
  std::optional<WallTime> resetsAt;
};

struct QuotaSnapshot {
  QuotaProvider provider = QuotaProvider::codex;
  QuotaAvailability availability = QuotaAvailability::checking;
  std::vector<QuotaWindow> windows;
};

struct PresentationState {
  // Connection
  ConnectionStatus status = ConnectionStatus::disconnected;
  std::string pairingCode;  // set while status is pairing
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
  // Totals (publicTokens and publicCost are the manager's derived values)
  int64_t publicTokens = 0;
  double publicCost = 0;
  double tokensPerMinute = 0;
  double leverage = 0;
  int64_t appCount = 0;
  std::vector<API::AgentRow> agentBreakdown;
  std::vector<API::ModelRow> modelBreakdown;
  std::vector<std::string> activeSources;
  int64_t contextInput = 0;
  int64_t contextOutput = 0;
  int64_t contextCacheRead = 0;
  int64_t contextCacheWrite = 0;
  UsageCounters recentContext;
  std::vector<UsagePoint> recentTicks;
  std::optional<WallTime> lastReconciled;
  bool isReconciling = false;
  // Public chart
  std::vector<API::LiveCandle> publicCandles;
  std::string publicCandleState = "empty";
  bool publicCandleStale = true;
  double publicCandleTokenRate = 0;
  double publicCandleCostRate = 0;
  // Oracle
  std::optional<int64_t> oracleSequence;
  std::optional<WallTime> lastOracleCommit;
  std::optional<std::string> oracleError;
  // Cursor
  std::optional<std::string> cursorStatus;
  bool cursorUsageEnabled = false;
  bool cursorStoreExists = false;  // the editor's state database is on disk
  // Savings
  SavingsSnapshot savingsSnapshot;
  SavingsProjection savingsProjection;
  std::optional<std::string> savingsStatus;
  std::vector<std::string> savingsTargets;
  bool isConfiguringSavings = false;
  // Update
  std::optional<std::string> updateVersion;
  // Launch at login
  bool launchAtLoginNeedsApproval = false;
  std::optional<std::string> launchAtLoginError;
  // Quotas, Codex then Grok Build
  std::vector<QuotaSnapshot> providerQuotas{{QuotaProvider::codex, QuotaAvailability::checking, {}},
                                            {QuotaProvider::grokBuild, QuotaAvailability::checking, {}}};
};

}  // namespace quorvin::presentation
