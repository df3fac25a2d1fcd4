#include "core/NumberText.h"

#include <cstdio>

namespace quorvin {

std::string formatDouble(const char* format, double value) {
  char buffer[64];
  const int n = std::snprintf(buffer, sizeof buffer, format, value);
  if (n < 0) return {};
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
  const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  const std::string digits = std::to_string(magnitude);
  std::string out;
  out.reserve(digits.size() + digits.size() / 3 + 1);
  if (negative) out.push_back('-');
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

}  // namespace quorvin
