#include "shell/StatusReport.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "core/NumberText.h"
#include "core/Time.h"
#include "publishing/ConnectionRules.h"

namespace quorvin {

namespace {

bool needsAttention(const ConnectionState& state) {
  return state.lastError || state.cursorStatus || state.launchAtLoginError || state.launchAtLoginNeedsApproval;
}

const char* statusName(const ConnectionStatus& status) {
  switch (status.kind) {
    case ConnectionStatus::Kind::connected:
      return "connected";
    case ConnectionStatus::Kind::pairing:
      return "pairing";
    case ConnectionStatus::Kind::disconnected:
      break;
  }
  return "disconnected";
}

template <typename T>
boost::json::value optional(const std::optional<T>& value) {
  if (!value) return nullptr;
  return boost::json::value(*value);
}

}  // namespace

std::string exactCostText(double dollars) {
  const double value = std::isfinite(dollars) && dollars > 0 ? dollars : 0;
  // Ties to even, as the tray's formatter rounds.
  return "$" + groupedInteger(static_cast<long long>(std::nearbyint(value)));
}

std::string trayTooltip(const ConnectionState& state, WallTime now) {
  const std::string dot = " \u00b7 ";
  switch (state.status.kind) {
    case ConnectionStatus::Kind::connected: {
      const auto rate = static_cast<int64_t>(std::round(state.tokensPerMinute(now)));
      return "Quorvin" + dot + (needsAttention(state) ? "needs attention" : "streaming") + dot +
             rules::shortTokens(rate) + "/min" + dot + groupedInteger(state.publicTokens()) + " tokens" + dot +
             exactCostText(state.publicCost());
    }
    case ConnectionStatus::Kind::pairing:
      return "Quorvin" + dot + "pair code " + state.status.code;
    case ConnectionStatus::Kind::disconnected:
      break;
  }
  if (state.isDisconnecting) return "Quorvin" + dot + "stopping uploads";
  if (state.disconnectCleanupPending) return "Quorvin" + dot + "credential cleanup needs attention";
  if (state.isPairingRequesting) return "Quorvin" + dot + "creating a private pair code";
  if (state.isProbingCredential) return "Quorvin" + dot + "checking saved pairing";
  if (state.isUnlockingCredential) return "Quorvin" + dot + "approve keyring access";
  return "Quorvin" + dot + "pair this computer";
}

boost::json::object statusReport(const ConnectionState& state, WallTime now) {
  boost::json::object report;
  report["status"] = statusName(state.status);
  report["pairingCode"] = state.status.is(ConnectionStatus::Kind::pairing) ? boost::json::value(state.status.code)
                                                                            : boost::json::value(nullptr);
  report["handle"] = state.login.empty() ? boost::json::value(nullptr) : boost::json::value(state.login);
  report["tokens"] = state.tokens;
  report["cost"] = state.cost;
  report["publicTokens"] = state.publicTokens();
  report["publicCost"] = state.publicCost();
  report["tokensPerMinute"] = state.tokensPerMinute(now);
  report["lastSync"] = state.lastSync ? boost::json::value(formatIso8601Seconds(*state.lastSync)) : boost::json::value(nullptr);
  report["lastError"] = optional(state.lastError);
  report["updateVersion"] = optional(state.updateVersion);
  report["updateStatus"] = optional(state.updateStatus);
  report["savingsStatus"] = optional(state.savingsStatus);
  const bool connected = state.status.is(ConnectionStatus::Kind::connected);
  report["text"] = connected ? exactCostText(state.publicCost()) : std::string("Quorvin");
  report["tooltip"] = trayTooltip(state, now);
  report["class"] = connected ? (needsAttention(state) ? "attention" : "connected") : statusName(state.status);
  return report;
}

}  // namespace quorvin
