#include "shell/StatusReport.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "publishing/ConnectionRules.h"

namespace quorvin {

namespace {

std::string grouped(long long value) {
  std::string digits = std::to_string(value);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<std::size_t>(at), ",");
  return digits;
}

std::string isoText(WallTime at) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

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
  return "$" + grouped(static_cast<long long>(std::nearbyint(value)));
}

std::string trayTooltip(const ConnectionState& state, WallTime now) {
  const std::string dot = " \u00b7 ";
  switch (state.status.kind) {
    case ConnectionStatus::Kind::connected: {
      const auto rate = static_cast<int64_t>(std::round(state.tokensPerMinute(now)));
      return "Quorvin" + dot + (needsAttention(state) ? "needs attention" : "streaming") + dot +
             rules::shortTokens(rate) + "/min" + dot + grouped(state.publicTokens()) + " tokens" + dot +
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
  report["lastSync"] = state.lastSync ? boost::json::value(isoText(*state.lastSync)) : boost::json::value(nullptr);
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
