#pragma once

#include <cstdint>
#include <limits>

namespace quorvin {

// Token sums saturate instead of overflowing: a corrupt log that claims 2^63 tokens
// must not wrap a total into the negative.
constexpr int64_t saturatingAdd(int64_t a, int64_t b) noexcept {
  int64_t result = 0;
  if (__builtin_add_overflow(a, b, &result)) {
    return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  }
  return result;
}

constexpr int64_t saturatingSub(int64_t a, int64_t b) noexcept {
  int64_t result = 0;
  if (__builtin_sub_overflow(a, b, &result)) {
    return b < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  }
  return result;
}

}  // namespace quorvin
