#include "core/UsageCounters.h"

#include <algorithm>

#include "core/SaturatingMath.h"

namespace quorvin {

namespace {

template <typename Fn>
UsageCounters fieldwise(const UsageCounters& a, const UsageCounters& b, Fn fn) noexcept {
  return {fn(a.input, b.input), fn(a.output, b.output), fn(a.cacheRead, b.cacheRead),
          fn(a.cacheWrite, b.cacheWrite)};
}

int64_t growth(int64_t current, int64_t previous) noexcept {
  return std::max<int64_t>(saturatingSub(current, previous), 0);
}

}  // namespace

int64_t UsageCounters::total() const noexcept {
  return saturatingAdd(saturatingAdd(input, output), saturatingAdd(cacheRead, cacheWrite));
}

UsageCounters& UsageCounters::operator+=(const UsageCounters& other) noexcept {
  *this = fieldwise(*this, other, saturatingAdd);
  return *this;
}

UsageCounters UsageCounters::fieldwiseMax(const UsageCounters& a, const UsageCounters& b) noexcept {
  return {std::max(a.input, b.input), std::max(a.output, b.output), std::max(a.cacheRead, b.cacheRead),
          std::max(a.cacheWrite, b.cacheWrite)};
}

UsageCounters UsageCounters::growthOver(const UsageCounters& previous) const noexcept {
  return fieldwise(*this, previous, growth);
}

UsageCounters UsageCounters::rebased(const UsageCounters& from, const UsageCounters& onto) const noexcept {
  return onto + growthOver(from);
}

UsageCounters UsageCounters::accumulatedResetSafeDelta(std::span<const UsageCounters> samples) noexcept {
  UsageCounters sum;
  for (size_t i = 1; i < samples.size(); ++i) {
    sum += fieldwise(samples[i], samples[i - 1], [](int64_t current, int64_t previous) noexcept {
      return current >= previous ? saturatingSub(current, previous) : std::max<int64_t>(current, 0);
    });
  }
  return sum;
}

}  // namespace quorvin
