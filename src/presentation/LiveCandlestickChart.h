#pragma once

#include <vector>

#include "presentation/DrawList.h"
#include "wire/ServiceRecords.h"

namespace quorvin::presentation {

// The live "Compute productivity" candle chart: scale, candles, stacked volume, last-value
// line and price tag, or the placeholder while nothing has been observed.

struct CandleColors {
  Color up = rgbColor(0.11, 0.72, 0.34);
  Color down = rgbColor(0.78, 0.12, 0.12);
  Color amber = rgbColor(0.78, 0.48, 0.02);
  Color info = rgbColor(0.16, 0.51, 0.82);
};

struct CandleScale {
  double low = 0;
  double high = 0;
  double span() const { return high - low; }
};

struct CandleChartFrame {
  RectF plot;
  RectF volume;
};

// Element at index min(n - 1, trunc(p * (n - 1))) of the sorted values; 0 when empty.
double percentile(std::vector<double> values, double p);
CandleChartFrame candleChartFrame(double width, double height);
// No value when no candle is observed.
std::optional<CandleScale> candleScale(const std::vector<API::LiveCandle>& candles);
double candleY(const CandleChartFrame& frame, const CandleScale& scale, double value);

DrawList liveCandlestickChart(const std::vector<API::LiveCandle>& candles, bool stale, double width,
                              double height, const CandleColors& colors = {});

}  // namespace quorvin::presentation
