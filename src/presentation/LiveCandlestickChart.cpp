#include "presentation/LiveCandlestickChart.h"

#include <algorithm>
#include <cmath>

#include "presentation/NumberText.h"

namespace quorvin::presentation {

namespace {

bool usableLevel(double v) { return std::isfinite(v) && v > 0; }

std::string levelText(double value) { return std::to_string(roundAwayFromZero(value)); }

}  // namespace

double percentile(std::vector<double> values, double p) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  const double position = std::trunc(p * static_cast<double>(values.size() - 1));
  const auto index = std::min(values.size() - 1, static_cast<size_t>(std::max(position, 0.0)));
  return values[index];
}

CandleChartFrame candleChartFrame(double width, double height) {
  const double volume = std::max(0.22 * height, 18.0);
  CandleChartFrame frame;
  frame.plot = {0, 5, std::max(width - 43, 1.0), std::max(height - 5 - 2 - volume - 6, 1.0)};
  frame.volume = {frame.plot.x, frame.plot.maxY() + 6, frame.plot.width, volume};
  return frame;
}

std::optional<CandleScale> candleScale(const std::vector<API::LiveCandle>& candles) {
  const auto last = std::find_if(candles.rbegin(), candles.rend(), [](const auto& c) { return c.observed; });
  if (last == candles.rend()) {
    return std::nullopt;
  }
  std::vector<double> highs;
  std::vector<double> lows;
  for (const auto& c : candles) {
    if (!c.observed) {
      continue;
    }
    if (usableLevel(c.high)) {
      highs.push_back(c.high);
    }
    if (usableLevel(c.low)) {
      lows.push_back(c.low);
    }
  }
  // A non-finite close from a damaged frame must not poison the whole scale.
  const double lastClose = std::isfinite(last->close) ? last->close : 0;
  const double p95 = percentile(std::move(highs), 0.95);
  const double p05 = percentile(std::move(lows), 0.05);
  const double top = p95 >= 0.01 ? std::max(p95, lastClose) : std::max(lastClose, 0.01);
  const double bottom = std::min({p05, top, lastClose});
  const double range = std::max(top - bottom, 0.01);
  const double pad = range * 0.12;
  CandleScale scale;
  scale.low = std::max(bottom - pad, 0.0);
  scale.high = std::max(scale.low + 0.01, top + pad);
  return scale;
}

double candleY(const CandleChartFrame& frame, const CandleScale& scale, double value) {
  const double clamped = std::isnan(value) ? scale.low : std::clamp(value, scale.low, scale.high);
  const double y = frame.plot.y + frame.plot.height * (1 - (clamped - scale.low) / scale.span());
  // Values near the double range can make the span infinite; pin them to the bottom edge
  // rather than hand the painter a NaN.
  return std::isfinite(y) ? y : frame.plot.maxY();
}

DrawList liveCandlestickChart(const std::vector<API::LiveCandle>& candles, bool stale, double width,
                              double height, const CandleColors& colors) {
  DrawList list;
  const auto frame = candleChartFrame(width, height);
  const auto& plot = frame.plot;
  const auto scaleOrNone = candleScale(candles);
  if (!scaleOrNone) {
    list.push_back(LineShape{{plot.x, plot.midY()}, {plot.maxX(), plot.midY()},
                             roleColor(ColorRole::secondaryLabel, 0.35), 1, {3, 4}});
    list.push_back(TextShape{"COLLECTING LIVE CANDLES", {plot.midX(), plot.midY() - 9}, TextAlign::center, 8.5, true,
                             true, roleColor(ColorRole::secondaryLabel)});
    return list;
  }
  const auto scale = *scaleOrNone;
  const auto y = [&](double value) { return candleY(frame, scale, value); };

  for (int i = 1; i <= 4; ++i) {
    const double level = scale.low + scale.span() * i * 0.25;
    const double ly = y(level);
    list.push_back(LineShape{{plot.x, ly}, {plot.maxX(), ly}, roleColor(ColorRole::primary, 0.09), 1, {}});
    list.push_back(TextShape{levelText(level), {width - 3, ly}, TextAlign::right, 7.5, false, true,
                             roleColor(ColorRole::secondaryLabel)});
  }

  const double bucket = plot.width / static_cast<double>(candles.size());
  const double body = std::min(std::max(0.54 * bucket, 0.75), 10.0);
  std::vector<double> volumes;
  for (const auto& c : candles) {
    if (c.vol > 0 && std::isfinite(c.vol)) {
      volumes.push_back(c.vol);
    }
  }
  const double volumeReference = std::max(percentile(std::move(volumes), 0.95), 1.0);

  double lastX = plot.x;
  double lastOpen = 0;
  double lastClose = 0;
  for (size_t i = 0; i < candles.size(); ++i) {
    const auto& c = candles[i];
    const double x = plot.x + (static_cast<double>(i) + 0.5) * bucket;
    if (!c.observed) {
      const double level = i == 0 ? scale.low : candles[i - 1].close;
      list.push_back(LineShape{{x - body / 2, y(level)}, {x + body / 2, y(level)},
                               roleColor(ColorRole::secondaryLabel, 0.3), 1, {}});
      continue;
    }
    lastX = x;
    lastOpen = c.open;
    lastClose = c.close;
    const bool provisional = c.provisional.value_or(false);
    const Color color = c.open > c.close ? colors.down : colors.up;

    list.push_back(LineShape{{x, y(c.high)}, {x, y(c.low)}, withAlpha(color, provisional ? 0.76 : 1.0), 1,
                             provisional ? std::vector<double>{2, 2} : std::vector<double>{}});

    double top = std::min(y(c.open), y(c.close));
    double bottom = std::max(y(c.open), y(c.close));
    if (bottom - top < 3) {
      const double middle = (top + bottom) / 2;
      top = middle - 1.5;
      bottom = middle + 1.5;
    }
    list.push_back(BoxShape{{x - body / 2, top, body, bottom - top}, 0.5, withAlpha(color, provisional ? 0.78 : 1.0)});

    if (c.vol > 0) {
      const double ratio = std::isfinite(c.vol) ? std::min(c.vol / volumeReference, 1.0) : 1.0;
      const double h = std::max(frame.volume.height * std::sqrt(ratio), 1.5);
      // Negative kinds from a damaged frame would draw segments downwards; count them as 0.
      const double kinds[] = {std::max(c.cacheRead, 0.0), std::max(c.fresh, 0.0), std::max(c.cacheWrite, 0.0),
                              std::max(c.output, 0.0)};
      const double sum = kinds[0] + kinds[1] + kinds[2] + kinds[3];
      if (c.flowObserved && sum > 0 && std::isfinite(sum)) {
        const Color segmentColors[] = {withAlpha(colors.amber, 0.6), withAlpha(colors.info, 0.65),
                                       roleColor(ColorRole::primary, 0.35), withAlpha(colors.up, 0.6)};
        double base = frame.volume.maxY();
        for (int k = 0; k < 4; ++k) {
          if (kinds[k] <= 0) {
            continue;
          }
          const double segment = kinds[k] / sum * h;
          list.push_back(BoxShape{{x - body / 2, base - segment, body, segment}, 0, segmentColors[k]});
          base -= segment;
        }
      } else {
        list.push_back(BoxShape{{x - body / 2, frame.volume.maxY() - h, body, h}, 0, withAlpha(color, 0.25)});
      }
    }
  }

  const Color lastColor = lastOpen > lastClose ? colors.down : colors.up;
  const double ly = y(lastClose);
  list.push_back(LineShape{{plot.x, ly}, {plot.maxX(), ly}, withAlpha(lastColor, 0.42), 1, {2, 3}});
  list.push_back(DotShape{{lastX, ly}, 5, withAlpha(lastColor, stale ? 0.72 : 1.0)});
  const RectF tag{plot.maxX() + 2, ly - 8, 39, 16};
  list.push_back(BoxShape{tag, 2, lastColor});
  list.push_back(TextShape{levelText(std::isfinite(lastClose) ? lastClose : 0), {tag.midX(), tag.midY()},
                           TextAlign::center, 8, true, true, roleColor(ColorRole::windowBackground)});
  return list;
}

}  // namespace quorvin::presentation
