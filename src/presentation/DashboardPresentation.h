#pragma once

#include <optional>
#include <string>
#include <vector>

#include "presentation/ColorRole.h"
#include "presentation/PresentationState.h"

namespace quorvin::presentation {

// Texts and derived figures of the popup dashboard.

std::string headerStatusLabel(const PresentationState& state);

struct DisconnectedSummary {
  std::string title;
  std::string message;
  std::optional<std::string> progress;  // shown with a busy indicator
};
DisconnectedSummary disconnectedSummary(const PresentationState& state);

struct PairingSummary {
  std::string title;
  std::string code;
  std::string message;
};
PairingSummary pairingSummary(const PresentationState& state);

std::string syncLabel(const PresentationState& state, WallTime now);
std::string leverageLabel(double ratio);
// Cache reuse in percent, from the recent counters when they hold a token, else all-time.
std::optional<double> displayedReuse(const PresentationState& state);

std::string shortTokens(int64_t n);
std::string savingsValueLabel(const SavingsProjection& projection);
std::string savingsSummary(const SavingsProjection& projection, const SavingsFigures& snapshot);

struct LiveMeter {
  double average = 0;  // tokens per minute over the last five minutes
  double peak = 0;
};
LiveMeter liveMeter(const std::vector<UsagePoint>& ticks, WallTime now);
std::string formatRate(double rate);

struct AttentionLine {
  std::string symbol;
  std::string text;
  Color color;
  bool operator==(const AttentionLine&) const = default;
};
std::vector<AttentionLine> attentionLines(const PresentationState& state);

struct QuotaTileText {
  std::string provider;
  std::string statusWord;
  bool statusAccent = false;
  std::optional<std::string> bodyLine;  // only while not available
};
QuotaTileText quotaTileText(const QuotaSnapshot& snapshot);
std::string quotaResetText(std::optional<WallTime> resetsAt, WallTime now);
std::string quotaWindowAccessibility(const QuotaWindow& window, WallTime now);

}  // namespace quorvin::presentation
