#include "presentation/ConnectionStateView.h"

namespace quorvin::presentation {

namespace {
QuotaAvailability quotaAvailability(ProviderQuotaAvailability availability) {
  switch (availability) {
    case ProviderQuotaAvailability::available:
      return QuotaAvailability::available;
    case ProviderQuotaAvailability::unavailable:
      return QuotaAvailability::unavailable;
    case ProviderQuotaAvailability::checking:
      break;
  }
  return QuotaAvailability::checking;
}
}  // namespace

PresentationState presentationState(const ConnectionState& c, const PresentationExtras& extras) {
  PresentationState s;
  const WallTime now = c.publishedAt;
  switch (c.status.kind) {
    case ::quorvin::ConnectionStatus::Kind::disconnected:
      s.status = presentation::ConnectionStatus::disconnected;
      break;
    case ::quorvin::ConnectionStatus::Kind::pairing:
      s.status = presentation::ConnectionStatus::pairing;
      s.pairingCode = c.status.code;
      break;
    case ::quorvin::ConnectionStatus::Kind::connected:
      s.status = presentation::ConnectionStatus::connected;
      break;
  }
  s.login = c.login;
  s.plan = c.plan;
  s.pairingURL = c.pairingURL;
  s.pairingSuccessHandle = c.pairingSuccessHandle;
  s.profileOpenError = c.profileOpenError;
  s.lastError = c.lastError;
  s.isUnlockingCredential = c.isUnlockingCredential;
  s.isProbingCredential = c.isProbingCredential;
  s.credentialMissing = c.credentialMissing;
  s.isPairingRequesting = c.isPairingRequesting;
  s.isDisconnecting = c.isDisconnecting;
  s.disconnectCleanupPending = c.disconnectCleanupPending;
  s.disconnectCleanupNeedsApproval = c.disconnectCleanupNeedsApproval;
  s.publicTokens = c.publicTokens();
  s.publicCost = c.publicCost();
  s.tokensPerMinute = c.tokensPerMinute(now);
  s.leverage = c.leverage();
  s.appCount = c.appCount;
  s.agentBreakdown = c.agentBreakdown;
  s.modelBreakdown = c.modelBreakdown;
  s.activeSources = c.activeSources;
  s.contextInput = c.contextInput;
  s.contextOutput = c.contextOutput;
  s.contextCacheRead = c.contextCacheRead;
  s.contextCacheWrite = c.contextCacheWrite;
  s.recentContext = c.recentContext(now);
  s.recentTicks.reserve(c.recentTicks.size());
  for (const auto& t : c.recentTicks) {
    s.recentTicks.push_back({t.at, t.total, t.cost, t.delta, t.contextEpoch, t.isRealtime});
  }
  s.lastReconciled = c.lastReconciled;
  s.isReconciling = c.isReconciling;
  s.publicCandles = c.publicCandles;
  s.publicCandleState = c.publicCandleState;
  s.publicCandleStale = c.publicCandleStale;
  s.publicCandleTokenRate = c.publicCandleTokenRate;
  s.publicCandleCostRate = c.publicCandleCostRate;
  s.oracleSequence = c.oracleSequence;
  s.lastOracleCommit = c.lastOracleCommit;
  s.oracleError = c.oracleError;
  s.cursorStatus = c.cursorStatus;
  s.cursorUsageEnabled = c.cursorUsageEnabled;
  s.cursorStoreExists = extras.cursorStoreExists;
  const auto& f = c.savingsSnapshot;
  s.savingsSnapshot.installed = f.installed;
  s.savingsSnapshot.enabled = f.enabled;
  s.savingsSnapshot.totalCommands = f.totalCommands;
  s.savingsSnapshot.originalTokens = f.originalTokens;
  s.savingsSnapshot.outputTokens = f.outputTokens;
  s.savingsSnapshot.savedTokens = f.savedTokens;
  s.savingsProjection = extras.savingsProjection;
  s.savingsStatus = c.savingsStatus;
  s.savingsTargets = extras.savingsTargets;
  s.isConfiguringSavings = c.isConfiguringSavings;
  s.updateVersion = c.updateVersion;
  s.launchAtLoginNeedsApproval = c.launchAtLoginNeedsApproval;
  s.launchAtLoginError = c.launchAtLoginError;
  s.providerQuotas.clear();
  for (const auto& q : c.providerQuotas) {
    QuotaSnapshot view{q.provider == ProviderQuotaSnapshot::Provider::codex ? QuotaProvider::codex
                                                                            : QuotaProvider::grokBuild,
                       quotaAvailability(q.availability),
                       {}};
    for (const auto& w : q.windows) view.windows.push_back({w.label, w.usedPercent, w.resetsAt});
    s.providerQuotas.push_back(std::move(view));
  }
  return s;
}

}  // namespace quorvin::presentation
