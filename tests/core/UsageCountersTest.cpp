#include "core/UsageCounters.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace quorvin {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

TEST(UsageCounters, ResetSafeDeltaCountsGrowthAndTakesDropsAsResets) {
  std::vector<UsageCounters> samples{{10, 0, 0, 0}, {25, 0, 0, 0}, {5, 0, 0, 0}, {8, 0, 0, 0}};
  EXPECT_EQ(UsageCounters::accumulatedResetSafeDelta(samples), (UsageCounters{23, 0, 0, 0}));
  // A drop to a negative value is a reset to nothing; growth from it counts in full.
  std::vector<UsageCounters> negative{{0, 10, 0, 0}, {0, -4, 0, 0}, {0, 3, 0, 0}};
  EXPECT_EQ(UsageCounters::accumulatedResetSafeDelta(negative), (UsageCounters{0, 7, 0, 0}));
  EXPECT_EQ(UsageCounters::accumulatedResetSafeDelta(std::vector<UsageCounters>{{5, 5, 5, 5}}), UsageCounters{});
}

TEST(UsageCounters, RebasedNeverLowersTheTarget) {
  UsageCounters self{5, 20, 7, 0};
  UsageCounters base{10, 15, 7, 0};
  UsageCounters target{100, 100, 100, 100};
  EXPECT_EQ(self.rebased(base, target), (UsageCounters{100, 105, 100, 100}));
}

TEST(UsageCounters, SumsSaturateInsteadOfWrapping) {
  UsageCounters huge{kMax, kMax, 1, 0};
  EXPECT_EQ(huge.total(), kMax);
  UsageCounters sum = huge + UsageCounters{1, 1, 1, 1};
  EXPECT_EQ(sum, (UsageCounters{kMax, kMax, 2, 1}));
  // Growth from a very negative base must not overflow either.
  UsageCounters low{std::numeric_limits<int64_t>::min(), 0, 0, 0};
  EXPECT_EQ(UsageCounters({kMax, 0, 0, 0}).growthOver(low).input, kMax);
}

}  // namespace
}  // namespace quorvin
