#include "presentation/StatusBarPresentation.h"

#include <algorithm>
#include <cmath>

#include "presentation/NumberText.h"

namespace quorvin::presentation {

namespace {

constexpr double kHeatCeiling = 20'000'000;
constexpr double kHeatKnee = 50'000;
constexpr double kLn401 = 5.993961427306569;

// Whole dollars, ties to even, thousands grouped with ",". Working on printf's digit string
// keeps amounts beyond the 64-bit range exact instead of overflowing an integer.
std::string exactDollars(double v) {
  std::string digits = formatDouble("%.0f", v);
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return digits;
  }
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) {
      out.push_back(',');
    }
    out.push_back(digits[i]);
  }
  return out;
}

}  // namespace

std::string compactMoney(double v) {
  if (v >= 1'000'000) {
    return "$" + formatDouble("%.0f", v / 1'000'000) + "M";
  }
  if (v >= 1'000) {
    return "$" + formatDouble("%.0f", v / 1'000) + "K";
  }
  return "$" + formatDouble("%.0f", v);
}

std::string cost(double value, StatusBarCostDisplayMode mode) {
  const double v = value >= 0 ? value : 0;
  if (mode == StatusBarCostDisplayMode::compact) {
    return compactMoney(v);
  }
  return "$" + exactDollars(v);
}

double heatLevel(double r, bool isActive) noexcept {
  if (!isActive || std::isnan(r) || r <= 0) {
    return 0;
  }
  const double level = std::log1p(std::min(r, kHeatCeiling) / kHeatKnee) / kLn401;
  return std::clamp(level, 0.0, 1.0);
}

std::string heatAccessibilityText(double tokensPerMinute, bool isActive) {
  if (!isActive) {
    return "Quorvin usage heat unavailable";
  }
  const auto percent = roundAwayFromZero(heatLevel(tokensPerMinute, true) * 100);
  return "Quorvin usage heat " + std::to_string(percent) + " percent";
}

HeatBarGeometry heatBarGeometry(double tokensPerMinute, bool isActive) noexcept {
  HeatBarGeometry g;
  g.track = {1, 4, HeatBarGeometry::kWidth - 2, 7};
  g.trackFill = roleColor(ColorRole::label, isActive ? 0.14 : 0.09);
  const double level = heatLevel(tokensPerMinute, isActive);
  if (level > 0) {
    g.fillWidth = std::max(g.track.height, std::floor(level * g.track.width));
    const double x = std::min(g.track.x + g.fillWidth - 1, g.track.maxX() - 1);
    g.cursor = {x, g.track.y + 1, 1.5, g.track.height - 2};
  }
  return g;
}

bool connectionNeedsAttention(const PresentationState& s) noexcept {
  return s.lastError || s.cursorStatus || s.launchAtLoginError || s.launchAtLoginNeedsApproval;
}

std::string tooltipText(const PresentationState& s) {
  switch (s.status.kind) {
    case ConnectionStatus::Kind::connected: {
      // The rate source never yields a non-finite rate; if one arrives, show 0 rather than
      // a garbage count.
      const double rate = std::isfinite(s.tokensPerMinuteNow) ? s.tokensPerMinuteNow : 0;
      const auto rounded = static_cast<double>(roundAwayFromZero(rate));
      return std::string("Quorvin · ") + (connectionNeedsAttention(s) ? "needs attention" : "streaming") +
             " · " + shortCount(rounded) + "/min · " + groupedInteger(s.publicTokens()) + " tokens · " +
             cost(s.publicCost(), StatusBarCostDisplayMode::exact);
    }
    case ConnectionStatus::Kind::pairing:
      return "Quorvin · pair code " + s.status.code;
    case ConnectionStatus::Kind::disconnected:
      break;
  }
  if (s.isDisconnecting) {
    return "Quorvin · stopping uploads";
  }
  if (s.disconnectCleanupPending) {
    return "Quorvin · credential cleanup needs attention";
  }
  if (s.isPairingRequesting) {
    return "Quorvin · creating a private pair code";
  }
  if (s.isProbingCredential) {
    return "Quorvin · checking saved pairing";
  }
  if (s.isUnlockingCredential) {
    return "Quorvin · approve keyring access";
  }
  return "Quorvin · pair this computer";
}

Color statusColor(const PresentationState& s) noexcept {
  switch (s.status.kind) {
    case ConnectionStatus::Kind::connected:
      return roleColor(connectionNeedsAttention(s) ? ColorRole::orange : ColorRole::green);
    case ConnectionStatus::Kind::pairing:
      return roleColor(ColorRole::yellow);
    case ConnectionStatus::Kind::disconnected:
      break;
  }
  if (s.isUnlockingCredential || s.isPairingRequesting || s.disconnectCleanupPending) {
    return roleColor(ColorRole::yellow);
  }
  return roleColor(ColorRole::secondaryLabel);
}

std::string costAccessibilityValue(const PresentationState& s) {
  return cost(s.publicCost(), StatusBarCostDisplayMode::exact) + ", " + groupedInteger(s.publicTokens()) + " tokens";
}

}  // namespace quorvin::presentation
