#pragma once

#include <string_view>

namespace quorvin {

// The text of src/usage/data/model-prices.json, built into the program (see
// src/usage/CMakeLists.txt); refreshed with scripts/update-prices.
std::string_view embeddedModelPrices() noexcept;

}  // namespace quorvin
