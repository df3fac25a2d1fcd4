#pragma once

#include <cstdint>
#include <string>

#include "core/NumberText.h"

namespace quorvin::presentation {

// printf-style number texts shared by the tray, the dashboard and the savings window.

using quorvin::formatDouble;
using quorvin::groupedInteger;
// Rounds half away from zero and clamps into the 64-bit range; NaN gives 0.
int64_t roundAwayFromZero(double value) noexcept;
// The manager's short count: 1.23T, 4.56B, 7.8M, 12K, else the plain integer.
std::string shortCount(double n);

}  // namespace quorvin::presentation
