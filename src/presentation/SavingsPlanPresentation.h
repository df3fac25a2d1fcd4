#pragma once

#include <optional>
#include <string>

#include "presentation/PresentationState.h"
#include "presentation/StatusMenu.h"

namespace quorvin::presentation {

// Labels of the savings plan window.

const char* savingsPageTitle(SavingsPlanPage page);
std::string savingsBadge(const PresentationState& state);
bool savingsStatusIsError(const std::optional<std::string>& status);
std::string savingsTargetDetail(const PresentationState& state);
std::string savingsResultsSubtitle(const SavingsFigures& snapshot);
// Cache share of all prompt tokens, "42.0%"; "—" with no prompt tokens.
std::string savingsCachePercent(const PresentationState& state);
// RTK's measured reduction, "37.5%".
std::string savingsMeasuredRate(const SavingsFigures& snapshot);
// How much of the fresh input has a price, "priced 93% of input".
std::string savingsCoverageLabel(const SavingsProjection& projection);
// "Install and configure" is enabled only after the review box is ticked and while no
// configuration runs.
bool savingsInstallEnabled(bool reviewedChanges, const PresentationState& state);

inline constexpr const char* kRemovalTitle = "Remove RTK integrations?";
inline constexpr const char* kRemovalText =
    "Quorvin removes its RTK-managed integrations and preserves unrelated settings. The RTK binary and local savings "
    "history stay on this computer.";
inline constexpr const char* kRtkSourceUrl = "https://github.com/rtk-ai/rtk";

}  // namespace quorvin::presentation
