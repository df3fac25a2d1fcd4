#include "presentation/DashboardPresentation.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "presentation/NumberText.h"
#include "presentation/StatusBarPresentation.h"

namespace quorvin::presentation {

namespace {

double secondsBetween(WallTime from, WallTime to) {
  return std::chrono::duration<double>(to - from).count();
}

bool hasSavedPairing(const PresentationState& s) {
  return !s.login.empty() && !s.credentialMissing && !s.isDisconnecting;
}

}  // namespace

std::string headerStatusLabel(const PresentationState& s) {
  switch (s.status.kind) {
    case ConnectionStatus::Kind::connected:
      return connectionNeedsAttention(s) ? "Attention" : "Streaming";
    case ConnectionStatus::Kind::pairing:
      return "Pairing";
    case ConnectionStatus::Kind::disconnected:
      break;
  }
  if (s.isDisconnecting) return "Disconnecting";
  if (s.disconnectCleanupPending) return "Cleanup";
  if (s.isPairingRequesting) return "Pairing";
  if (s.isProbingCredential) return "Checking";
  if (s.isUnlockingCredential) return "Unlocking";
  return "Ready";
}

DisconnectedSummary disconnectedSummary(const PresentationState& s) {
  DisconnectedSummary out;
  const auto errorOr = [&](const char* fallback) { return s.lastError ? *s.lastError : std::string(fallback); };
  if (s.isDisconnecting) {
    out.message = "Stopping uploads and finishing local credential cleanup.";
  } else if (s.isUnlockingCredential) {
    out.message = s.isProbingCredential ? "Checking this computer for its saved private pairing."
                                        : "Approve keyring access once to resume the existing token stream.";
  } else if (s.isPairingRequesting) {
    out.message = "Requesting a private pair code from Quorvin.";
  } else if (s.disconnectCleanupPending) {
    out.message = errorOr(s.disconnectCleanupNeedsApproval
                              ? "Uploads stopped. Approve keyring access to finish removing the local credential."
                              : "Uploads stopped. Local credential cleanup needs another attempt.");
  } else if (hasSavedPairing(s)) {
    out.message = errorOr("The saved pairing is available. Retry it or pair this computer again.");
  } else {
    out.message = errorOr(
        "Pair this computer to publish aggregate token totals and cost. Prompts, responses, and code stay local.");
  }

  if (s.isDisconnecting) out.title = "Disconnecting Quorvin";
  else if (s.disconnectCleanupPending) out.title = "Finish disconnecting";
  else if (s.isPairingRequesting) out.title = "Creating pair code";
  else if (s.isProbingCredential) out.title = "Checking saved pairing";
  else if (s.isUnlockingCredential) out.title = "Unlocking Quorvin";
  else out.title = "Connect Quorvin";

  if (s.isUnlockingCredential || s.isPairingRequesting || s.isDisconnecting) {
    if (s.isDisconnecting) out.progress = "Removing this computer’s credential";
    else if (s.isPairingRequesting) out.progress = "Creating a private pair code";
    else if (s.isProbingCredential) out.progress = "Checking keyring";
    else out.progress = "Waiting for keyring approval";
  }
  return out;
}

PairingSummary pairingSummary(const PresentationState& s) {
  return {"Approve this computer", s.status.code,
          "Approve the code in your browser to start streaming aggregate usage."};
}

std::string syncLabel(const PresentationState& s, WallTime now) {
  if (s.isReconciling || !s.lastReconciled) {
    return "Indexing usage";
  }
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - *s.lastReconciled).count();
  return seconds > 59 ? "Indexed " + std::to_string(seconds / 60) + "m ago" : "Indexed now";
}

std::string leverageLabel(double ratio) {
  if (!(ratio > 0)) {
    return "Pay as you go";
  }
  if (ratio >= 100) {
    return std::to_string(roundAwayFromZero(ratio)) + "× plan value";
  }
  return formatDouble("%.1f", ratio) + "× plan value";
}

std::optional<double> displayedReuse(const PresentationState& s) {
  const auto ratio = [](double cacheRead, double input) -> std::optional<double> {
    const double denominator = input + cacheRead;
    if (denominator < 1) {
      return std::nullopt;
    }
    return cacheRead / denominator * 100;
  };
  if (static_cast<double>(s.recentContextNow.total()) >= 1) {
    return ratio(static_cast<double>(s.recentContextNow.cacheRead), static_cast<double>(s.recentContextNow.input));
  }
  return ratio(static_cast<double>(s.contextCacheRead), static_cast<double>(s.contextInput));
}

std::string shortTokens(int64_t n) {
  const auto v = static_cast<double>(n);
  if (v >= 1e9) return formatDouble("%.1fB", v / 1e9);
  if (v >= 1e6) return formatDouble("%.1fM", v / 1e6);
  if (v >= 1e3) return formatDouble("%.1fK", v / 1e3);
  return groupedInteger(n);
}

std::string savingsValueLabel(const SavingsProjection& p) {
  if (p.estimatedUSD > 0 && p.inputPriceCoverage > 0) {
    if (p.estimatedUSD < 0.01) return "<$0.01";
    if (p.estimatedUSD < 10) return formatDouble("~$%.2f", p.estimatedUSD);
    if (p.estimatedUSD < 100) return formatDouble("~$%.0f", p.estimatedUSD);
    return "~$" + groupedInteger(roundAwayFromZero(p.estimatedUSD));
  }
  return shortTokens(p.tokens);
}

std::string savingsSummary(const SavingsProjection& p, const SavingsFigures& snapshot) {
  if (p.measured) {
    return shortTokens(snapshot.savedTokens) + " tokens removed across " + groupedInteger(snapshot.totalCommands) +
           " shell commands. Dollar value uses your model mix and reference input prices.";
  }
  return "At 10% less fresh context, your observed model mix would avoid about " + shortTokens(p.tokens) +
         " tokens. This is a scenario, not a promise.";
}

LiveMeter liveMeter(const std::vector<UsagePoint>& ticks, WallTime now) {
  LiveMeter meter;
  if (ticks.empty()) {
    return meter;
  }
  const auto epoch = ticks.back().contextEpoch;
  const auto cutoff = now - std::chrono::seconds(300);
  std::vector<const UsagePoint*> window;
  for (const auto& tick : ticks) {
    if (tick.isRealtime && tick.contextEpoch == epoch && tick.at >= cutoff) {
      window.push_back(&tick);
    }
  }
  if (window.size() < 2) {
    return meter;
  }
  double sum = 0;
  for (size_t i = 1; i < window.size(); ++i) {
    sum += static_cast<double>(std::max<int64_t>(window[i]->delta, 0));
    const double gap = std::max(secondsBetween(window[i - 1]->at, window[i]->at), 1.0);
    meter.peak = std::max(meter.peak, static_cast<double>(std::max<int64_t>(window[i]->delta, 0)) / gap * 60);
  }
  meter.average = sum / std::max(secondsBetween(window.front()->at, window.back()->at), 2.0) * 60;
  return meter;
}

std::string formatRate(double rate) {
  if (!std::isfinite(rate) || rate <= 0) {
    return "0/min";
  }
  return shortCount(static_cast<double>(roundAwayFromZero(rate))) + "/min";
}

std::vector<AttentionLine> attentionLines(const PresentationState& s) {
  std::vector<AttentionLine> lines;
  if (s.launchAtLoginNeedsApproval || s.launchAtLoginError) {
    lines.push_back({"exclamationmark.triangle.fill", "Background launch needs approval in Login Items.",
                     roleColor(ColorRole::orange)});
  }
  if (s.updateVersion) {
    lines.push_back({"arrow.down.circle.fill", "Update v" + *s.updateVersion + " is ready.",
                     roleColor(ColorRole::blue)});
  }
  if (s.cursorStoreExists && !s.cursorUsageEnabled) {
    lines.push_back({"cursorarrow.rays", "Cursor usage is not included.", roleColor(ColorRole::orange)});
  } else if (s.cursorStatus) {
    lines.push_back({"exclamationmark.circle.fill", *s.cursorStatus, roleColor(ColorRole::orange)});
  }
  if (s.lastError && !s.lastError->empty()) {
    lines.push_back({"wifi.exclamationmark", *s.lastError, roleColor(ColorRole::red)});
  }
  return lines;
}

QuotaTileText quotaTileText(const QuotaSnapshot& q) {
  QuotaTileText out;
  out.provider = q.provider == QuotaProvider::codex ? "Codex" : "Grok Build";
  switch (q.availability) {
    case QuotaAvailability::checking:
      out.statusWord = "CHECKING";
      out.bodyLine = "Checking local account…";
      break;
    case QuotaAvailability::available:
      out.statusWord = "USED";
      out.statusAccent = true;
      break;
    case QuotaAvailability::unavailable:
      out.statusWord = "OFFLINE";
      out.bodyLine = "Sign in with the CLI";
      break;
  }
  return out;
}

std::string quotaResetText(std::optional<WallTime> resetsAt, WallTime now) {
  if (!resetsAt) {
    return "reset —";
  }
  const auto s = std::chrono::duration_cast<std::chrono::seconds>(*resetsAt - now).count();
  if (s < 1) return "reset now";
  if (s < 60) return "reset <1m";
  if (s < 3600) return "reset " + std::to_string(s / 60) + "m";
  if (s < 86400) return "reset " + std::to_string(s / 3600) + "h";
  return "reset " + std::to_string(s / 86400) + "d";
}

std::string quotaWindowAccessibility(const QuotaWindow& w, WallTime now) {
  return w.label + " " + std::to_string(roundAwayFromZero(w.usedPercent)) + " percent used, " +
         quotaResetText(w.resetsAt, now);
}

}  // namespace quorvin::presentation
