#pragma once

#include <cmath>
#include <limits>

namespace quorvin {

// Cost sums never go negative or infinite: a negative running value or addition counts
// as 0 and an overflow stays at the largest finite double.
inline double addCost(double running, double addition) noexcept {
  // Written as `> 0` so that a NaN also counts as 0.
  double sum = (running > 0 ? running : 0.0) + (addition > 0 ? addition : 0.0);
  if (!std::isfinite(sum)) return std::numeric_limits<double>::max();
  return sum;
}

}  // namespace quorvin
