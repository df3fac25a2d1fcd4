#include <gtest/gtest.h>

#include "server/logic/CandleBuilder.h"

namespace quorvin::server {
namespace {

constexpr int64_t minute = 60'000;
constexpr int64_t t0 = 1'767'225'600'000;  // a minute boundary

UsageSample sample(int64_t at, int64_t total, double cost = 0, bool kinds = true) {
  // Half fresh input, half cache reads.
  return UsageSample{at, total, cost, total / 2, 0, total - total / 2, 0, kinds};
}

TEST(CandleBuilder, BucketsMeasureFlowPerMinute) {
  // Three buckets; now is 30 s into the last.
  CandleRequest request{t0 + 2 * minute + 30'000, 3, true};
  EXPECT_EQ(candleWindowStart(request), t0);
  std::vector<UsageSample> samples = {
      sample(t0 - 10'000, 0),                     // before the window: the first interval's base
      sample(t0 + 20'000, 300, 0.3),              // 300 tokens in 30 s: 600/min
      sample(t0 + 50'000, 400, 0.4),              // 200/min
      sample(t0 + 2 * minute + 10'000, 400, 0.4)  // idle: 0/min (bucket 1 stays empty)
  };
  auto frame = buildCandles(samples, request);
  ASSERT_EQ(frame.candles.size(), 3u);
  EXPECT_EQ(frame.bucketMs, 60'000.0);
  EXPECT_EQ(frame.state, "live");
  EXPECT_EQ(frame.stale, false);
  EXPECT_TRUE(frame.connected);

  const auto& first = frame.candles[0];
  EXPECT_EQ(first.at, static_cast<double>(t0));
  EXPECT_TRUE(first.observed);
  EXPECT_TRUE(first.flowObserved);
  EXPECT_DOUBLE_EQ(first.open, 600);
  EXPECT_DOUBLE_EQ(first.close, 200);
  EXPECT_DOUBLE_EQ(first.high, 600);
  EXPECT_DOUBLE_EQ(first.low, 200);
  EXPECT_DOUBLE_EQ(first.vol, 400);
  EXPECT_DOUBLE_EQ(first.fresh, 200);
  EXPECT_DOUBLE_EQ(first.cacheRead, 200);
  EXPECT_DOUBLE_EQ(*first.reusePct, 50);
  EXPECT_FALSE(first.provisional);

  EXPECT_FALSE(frame.candles[1].observed);
  const auto& last = frame.candles[2];
  EXPECT_TRUE(last.observed);
  EXPECT_EQ(last.provisional, true);
  EXPECT_DOUBLE_EQ(last.close, 0);
  EXPECT_DOUBLE_EQ(*frame.tokenRate, 0);
}

TEST(CandleBuilder, OpensAtThePreviousCloseAndIgnoresCorrections) {
  CandleRequest request{t0 + 2 * minute - 1, 2, true};
  std::vector<UsageSample> samples = {sample(t0, 0), sample(t0 + 30'000, 100),
                                      // a corrected, lower total is not negative flow
                                      sample(t0 + minute + 30'000, 50), sample(t0 + minute + 40'000, 100, 0.6)};
  auto frame = buildCandles(samples, request);
  const auto& second = frame.candles[1];
  EXPECT_DOUBLE_EQ(second.open, frame.candles[0].close);
  EXPECT_DOUBLE_EQ(second.low, 0);
  EXPECT_DOUBLE_EQ(second.close, 300);
  EXPECT_DOUBLE_EQ(second.vol, 50);
  EXPECT_DOUBLE_EQ(*frame.costRate, 0.6 * 360);  // $0.6 in 10 s, per hour
}

TEST(CandleBuilder, StaleEmptyAndPartialBreakdowns) {
  auto empty = buildCandles({}, CandleRequest{t0, 45, false});
  EXPECT_EQ(empty.candles.size(), 45u);
  EXPECT_EQ(empty.state, "empty");
  EXPECT_EQ(empty.stale, true);
  EXPECT_FALSE(empty.connected);

  std::vector<UsageSample> samples = {sample(t0, 0, 0, false), sample(t0 + 10'000, 60, 0, false)};
  auto idle = buildCandles(samples, CandleRequest{t0 + 10'000 + 60'001, 2, true});
  EXPECT_EQ(idle.state, "idle");
  EXPECT_EQ(idle.stale, true);
  EXPECT_DOUBLE_EQ(*idle.tokenRate, 0);
  EXPECT_TRUE(idle.candles[0].observed);
  EXPECT_FALSE(idle.candles[0].flowObserved) << "a publisher without the four counters";
  EXPECT_DOUBLE_EQ(idle.candles[0].fresh, 0);

  EXPECT_EQ(buildCandles({}, CandleRequest{t0, 100000, true}).candles.size(),
            static_cast<size_t>(CandleLimits::maxBuckets));
  EXPECT_EQ(buildCandles({}, CandleRequest{t0, -3, true}).candles.size(), 1u);
}

}  // namespace
}  // namespace quorvin::server
