#include "presentation/NumberText.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace quorvin::presentation {

int64_t roundAwayFromZero(double value) noexcept {
  if (std::isnan(value)) {
    return 0;
  }
  const double rounded = std::round(value);
  if (rounded >= 9.2233720368547758e18) {
    return std::numeric_limits<int64_t>::max();
  }
  if (rounded <= -9.2233720368547758e18) {
    return std::numeric_limits<int64_t>::min();
  }
  return static_cast<int64_t>(rounded);
}

std::string shortCount(double n) {
  if (n >= 1e12) {
    return formatDouble("%.2fT", n / 1e12);
  }
  if (n >= 1e9) {
    return formatDouble("%.2fB", n / 1e9);
  }
  if (n >= 1e6) {
    return formatDouble("%.1fM", n / 1e6);
  }
  if (n >= 1000) {
    return formatDouble("%.0fK", n / 1000);
  }
  return std::to_string(roundAwayFromZero(n));
}

}  // namespace quorvin::presentation
