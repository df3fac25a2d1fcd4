#pragma once

#include <optional>
#include <string_view>

#include "usage/UsageCostEstimator.h"

namespace quorvin::FamilyPriceTable {

// The built-in list prices, matched by family words in a lower-cased model name so that
// a new version of a known family still gets a price. The fallback for names the model
// catalogue does not list.
std::optional<UsageCostEstimator::Price> price(std::string_view lowered);

// Names that say the model costs nothing ("...:free" variants, free NVIDIA models). This
// wins over the catalogue, which lists the paid model under the same name.
bool knownFree(std::string_view lowered);

}  // namespace quorvin::FamilyPriceTable
