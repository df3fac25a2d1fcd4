#pragma once

#include <cstdint>
#include <span>

namespace quorvin {

// The four token counters every usage reader produces. Sums saturate.
struct UsageCounters {
  int64_t input = 0;       // fresh prompt tokens, neither read from nor written to a cache
  int64_t output = 0;      // generated tokens, reasoning included
  int64_t cacheRead = 0;   // prompt tokens served from a cache
  int64_t cacheWrite = 0;  // prompt tokens written into a cache

  int64_t total() const noexcept;
  bool isZero() const noexcept { return input == 0 && output == 0 && cacheRead == 0 && cacheWrite == 0; }

  UsageCounters& operator+=(const UsageCounters& other) noexcept;
  friend UsageCounters operator+(UsageCounters a, const UsageCounters& b) noexcept { return a += b; }
  bool operator==(const UsageCounters&) const = default;

  // target + max(self - base, 0), field by field: carries a count onto a new baseline
  // without ever lowering it.
  UsageCounters rebased(const UsageCounters& from, const UsageCounters& onto) const noexcept;

  // The larger of each field: what two reports of one event say together.
  static UsageCounters fieldwiseMax(const UsageCounters& a, const UsageCounters& b) noexcept;

  // Field-by-field max(self - other, 0).
  UsageCounters growthOver(const UsageCounters& previous) const noexcept;

  // Sum of growth over consecutive samples; a counter that went down was reset and its
  // new value counts as growth since the reset.
  static UsageCounters accumulatedResetSafeDelta(std::span<const UsageCounters> samples) noexcept;
};

}  // namespace quorvin
