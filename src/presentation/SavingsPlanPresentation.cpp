#include "presentation/SavingsPlanPresentation.h"

#include <cmath>

#include "presentation/NumberText.h"

namespace quorvin::presentation {

const char* savingsPageTitle(SavingsPlanPage page) {
  switch (page) {
    case SavingsPlanPage::opportunity:
      return "Opportunity";
    case SavingsPlanPage::apply:
      return "Apply";
    case SavingsPlanPage::results:
      return "Results";
  }
  return "";
}

std::string savingsBadge(const PresentationState& s) {
  if (s.isConfiguringSavings) return "UPDATING";
  if (s.savingsSnapshot.enabled) return "RTK ON";
  if (s.savingsSnapshot.installed) return "READY";
  return "PLAN";
}

bool savingsStatusIsError(const std::optional<std::string>& status) {
  if (!status) {
    return false;
  }
  for (const char* word : {"could not", "unavailable", "failed", "required", "cancelled"}) {
    if (status->find(word) != std::string::npos) {
      return true;
    }
  }
  return false;
}

std::string savingsTargetDetail(const PresentationState& s) {
  if (s.savingsTargets.empty()) {
    return "Add RTK-managed integration blocks only when a supported coding tool is detected.";
  }
  std::string names;
  for (const auto& target : s.savingsTargets) {
    if (!names.empty()) {
      names += ", ";
    }
    names += target;
  }
  return "Add RTK-managed integration blocks for " + names + ". Existing settings are preserved.";
}

std::string savingsResultsSubtitle(const SavingsFigures& snapshot) {
  if (snapshot.totalCommands < 1) {
    return "Run supported shell commands in a new coding-agent session to begin collecting local evidence.";
  }
  return "RTK has local evidence from " + groupedInteger(snapshot.totalCommands) + " compressed shell commands.";
}

std::string savingsCachePercent(const PresentationState& s) {
  const double denominator = static_cast<double>(s.contextInput) + static_cast<double>(s.contextCacheRead);
  if (denominator < 1) {
    return "—";
  }
  return formatDouble("%.1f%%", static_cast<double>(s.contextCacheRead) / denominator * 100);
}

std::string savingsMeasuredRate(const SavingsFigures& snapshot) {
  const double percent = std::isfinite(snapshot.savingsPercent) ? snapshot.savingsPercent : 0;
  return formatDouble("%.1f%%", percent);
}

std::string savingsCoverageLabel(const SavingsProjection& projection) {
  const double share = std::isfinite(projection.inputPriceCoverage) ? projection.inputPriceCoverage : 0;
  return "priced " + std::to_string(roundAwayFromZero(share * 100)) + "% of input";
}

bool savingsInstallEnabled(bool reviewedChanges, const PresentationState& s) {
  return reviewedChanges && !s.isConfiguringSavings;
}

}  // namespace quorvin::presentation
