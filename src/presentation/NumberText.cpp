#include "presentation/NumberText.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace quorvin::presentation {

std::string formatDouble(const char* format, double value) {
  char buffer[64];
  const int n = std::snprintf(buffer, sizeof buffer, format, value);
  if (n < 0) {
    return {};
  }
  // Huge values ("%.0f" of 1e300) do not fit; fall back to a heap buffer of the exact size.
  if (static_cast<size_t>(n) >= sizeof buffer) {
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, value);
    text.resize(static_cast<size_t>(n));
    return text;
  }
  return std::string(buffer, static_cast<size_t>(n));
}

std::string groupedInteger(int64_t value) {
  const bool negative = value < 0;
  // Unsigned magnitude so INT64_MIN does not overflow on negation.
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  std::string digits = std::to_string(magnitude);
  std::string out;
  out.reserve(digits.size() + digits.size() / 3 + 1);
  if (negative) {
    out.push_back('-');
  }
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) {
      out.push_back(',');
    }
    out.push_back(digits[i]);
  }
  return out;
}

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
