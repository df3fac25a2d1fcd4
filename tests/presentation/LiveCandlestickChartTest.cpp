#include "presentation/LiveCandlestickChart.h"

#include <gtest/gtest.h>

#include <cmath>

namespace quorvin::presentation {
namespace {

API::LiveCandle candle(double open, double close, double high, double low, double vol = 0) {
  API::LiveCandle c;
  c.observed = true;
  c.open = open;
  c.close = close;
  c.high = high;
  c.low = low;
  c.vol = vol;
  return c;
}

template <class T>
std::vector<T> shapes(const DrawList& list) {
  std::vector<T> out;
  for (const auto& shape : list) {
    if (const auto* s = std::get_if<T>(&shape)) {
      out.push_back(*s);
    }
  }
  return out;
}

bool finite(const RectF& r) {
  return std::isfinite(r.x) && std::isfinite(r.y) && std::isfinite(r.width) && std::isfinite(r.height);
}

TEST(CandleScale, PercentileAndDegenerateSeries) {
  EXPECT_EQ(percentile({}, 0.95), 0);
  EXPECT_EQ(percentile({5, 1, 3}, 0.95), 3);  // trunc(0.95 * 2) = 1
  EXPECT_EQ(percentile({5, 1, 3}, 1.0), 5);

  // All highs non-positive and a zero close: a tiny span, never zero.
  auto scale = candleScale({candle(0, 0, 0, -1)});
  ASSERT_TRUE(scale);
  EXPECT_DOUBLE_EQ(scale->low, 0);
  EXPECT_NEAR(scale->high, 0.0112, 1e-12);

  // A single flat candle: padded below, and the span never under 0.01.
  scale = candleScale({candle(100, 100, 100, 100)});
  ASSERT_TRUE(scale);
  EXPECT_NEAR(scale->low, 99.9988, 1e-9);
  EXPECT_NEAR(scale->high, 100.0088, 1e-9);

  // An outlying spike beyond the 95th percentile is clipped, the last close stays inside.
  std::vector<API::LiveCandle> series(40, candle(10, 11, 12, 9));
  series[5].high = 10'000;
  series.back().close = 14;
  scale = candleScale(series);
  ASSERT_TRUE(scale);
  EXPECT_LT(scale->high, 100);
  EXPECT_GT(scale->high, 14);
}

TEST(CandleChart, PlaceholderWhenNothingIsObserved) {
  for (const auto& series : {std::vector<API::LiveCandle>{}, std::vector<API::LiveCandle>(3)}) {
    const auto list = liveCandlestickChart(series, false, 300, 120);
    ASSERT_EQ(list.size(), 2u);
    const auto line = std::get<LineShape>(list[0]);
    EXPECT_EQ(line.dash, (std::vector<double>{3, 4}));
    EXPECT_EQ(std::get<TextShape>(list[1]).text, "COLLECTING LIVE CANDLES");
  }
}

TEST(CandleChart, FlatCandleBodyIsThreePointsTallAndCountsAsRising) {
  const auto list = liveCandlestickChart({candle(100, 100, 100, 100)}, false, 300, 120);
  const auto boxes = shapes<BoxShape>(list);
  ASSERT_EQ(boxes.size(), 2u);  // body and price tag
  EXPECT_NEAR(boxes[0].rect.height, 3, 1e-9);
  EXPECT_EQ(boxes[0].fill, CandleColors{}.up);
  const auto texts = shapes<TextShape>(list);
  EXPECT_EQ(texts.back().text, "100");
  EXPECT_EQ(texts.size(), 5u);  // four grid labels and the tag
}

TEST(CandleChart, ManyCandlesKeepTheBodyFloor) {
  std::vector<API::LiveCandle> series(400, candle(1, 2, 3, 0.5));
  const auto list = liveCandlestickChart(series, false, 343, 120);
  const auto boxes = shapes<BoxShape>(list);
  EXPECT_DOUBLE_EQ(boxes[0].rect.width, 0.75);
  EXPECT_NEAR(boxes[0].rect.x + 0.375, 0.375, 1e-9);  // first slot centred at b/2
}

TEST(CandleChart, GapsTickAtThePreviousCloseAndTheDotStaysOnTheLastObserved) {
  API::LiveCandle gap;
  const std::vector<API::LiveCandle> series{candle(10, 20, 25, 5), gap, candle(20, 15, 22, 12), gap, gap};
  const auto frame = candleChartFrame(343, 120);
  const auto scale = *candleScale(series);
  const auto list = liveCandlestickChart(series, true, 343, 120);
  const double b = 300.0 / 5;

  const auto lines = shapes<LineShape>(list);
  // Four grid lines, then: wick, tick, wick, tick, tick, last-value line.
  ASSERT_EQ(lines.size(), 4u + 6u);
  const auto tick = lines[5];
  EXPECT_DOUBLE_EQ(tick.from.y, candleY(frame, scale, 20));
  EXPECT_DOUBLE_EQ(tick.color.alpha, 0.3);
  EXPECT_DOUBLE_EQ(lines[7].from.y, candleY(frame, scale, 15));  // after the falling candle

  const auto dot = shapes<DotShape>(list).at(0);
  EXPECT_DOUBLE_EQ(dot.center.x, 2.5 * b);
  EXPECT_DOUBLE_EQ(dot.center.y, candleY(frame, scale, 15));
  EXPECT_DOUBLE_EQ(dot.fill.alpha, 0.72);  // stale
  EXPECT_EQ(dot.fill.rgb, CandleColors{}.down.rgb);
}

TEST(CandleChart, VolumeStacksKindsOrFallsBackToOneBlock) {
  auto flow = candle(1, 2, 3, 0.5, 100);
  flow.flowObserved = true;
  flow.cacheRead = 50;
  flow.fresh = 25;
  flow.output = 25;  // cacheWrite 0 is not drawn
  auto blind = candle(2, 1, 3, 0.5, 100);
  blind.flowObserved = true;  // all kinds 0
  const auto frame = candleChartFrame(343, 120);
  const auto boxes = shapes<BoxShape>(liveCandlestickChart({flow, blind}, false, 343, 120));
  // body, 3 segments, body, one block, tag
  ASSERT_EQ(boxes.size(), 7u);
  EXPECT_DOUBLE_EQ(boxes[1].rect.maxY(), frame.volume.maxY());
  EXPECT_DOUBLE_EQ(boxes[1].fill.alpha, 0.6);
  EXPECT_DOUBLE_EQ(boxes[2].rect.maxY(), boxes[1].rect.y);
  EXPECT_NEAR(boxes[1].rect.height + boxes[2].rect.height + boxes[3].rect.height, frame.volume.height, 1e-9);
  EXPECT_NEAR(boxes[1].rect.height, frame.volume.height / 2, 1e-9);
  EXPECT_DOUBLE_EQ(boxes[5].fill.alpha, 0.25);
  EXPECT_EQ(boxes[5].fill.rgb, CandleColors{}.down.rgb);
}

TEST(CandleChart, HugeAndDamagedValuesStayOnTheCanvas) {
  auto huge = candle(1e300, 1.7e308, 1.79e308, 1, 1e308);
  huge.flowObserved = true;
  huge.output = 1e308;
  huge.fresh = 1e308;  // the sum overflows to infinity
  auto hostile = candle(std::nan(""), std::nan(""), std::nan(""), std::nan(""), std::nan(""));
  const auto list = liveCandlestickChart({huge, hostile, candle(5, 6, 7, 4)}, false, 343, 120);
  for (const auto& shape : list) {
    if (const auto* box = std::get_if<BoxShape>(&shape)) {
      EXPECT_TRUE(finite(box->rect));
    } else if (const auto* line = std::get_if<LineShape>(&shape)) {
      EXPECT_TRUE(std::isfinite(line->from.y) && std::isfinite(line->to.y));
    } else if (const auto* dot = std::get_if<DotShape>(&shape)) {
      EXPECT_TRUE(std::isfinite(dot->center.y));
    }
  }
}

}  // namespace
}  // namespace quorvin::presentation
