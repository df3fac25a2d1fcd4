#pragma once

#include <cstdint>
#include <string>

namespace quorvin {

// printf formatting of one double ("%.2f"), whatever its size.
std::string formatDouble(const char* format, double value);
// Decimal digits grouped in threes with ",": 1234567 -> "1,234,567", -1234 -> "-1,234".
std::string groupedInteger(int64_t value);

}  // namespace quorvin
