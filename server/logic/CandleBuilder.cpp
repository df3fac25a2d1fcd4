#include "server/logic/CandleBuilder.h"

#include <algorithm>

namespace quorvin::server {

namespace {

int64_t clampTarget(int64_t target) { return std::clamp<int64_t>(target, 1, CandleLimits::maxBuckets); }

double growth(int64_t later, int64_t earlier) { return later > earlier ? static_cast<double>(later - earlier) : 0.0; }

struct Bucket {
  std::vector<double> rates;
  double vol = 0, fresh = 0, output = 0, cacheRead = 0, cacheWrite = 0;
  bool kinds = true;
};

}  // namespace

int64_t candleWindowStart(const CandleRequest& request) {
  const int64_t b = CandleLimits::bucketMs;
  const int64_t end = request.nowMs - request.nowMs % b + b;
  return end - clampTarget(request.target) * b;
}

API::LiveCandleFrame buildCandles(const std::vector<UsageSample>& samples, const CandleRequest& request) {
  const int64_t b = CandleLimits::bucketMs;
  const int64_t n = clampTarget(request.target);
  const int64_t start = candleWindowStart(request);
  std::vector<Bucket> buckets(static_cast<size_t>(n));

  double lastRate = 0, lastCostRate = 0;
  for (size_t i = 1; i < samples.size(); ++i) {
    const auto& a = samples[i - 1];
    const auto& s = samples[i];
    if (s.atMs < start || s.atMs <= a.atMs) continue;
    const auto index = static_cast<size_t>((s.atMs - start) / b);
    if (index >= buckets.size()) break;
    const double minutes = static_cast<double>(s.atMs - a.atMs) / 60'000.0;
    auto& k = buckets[index];
    const double tokens = growth(s.total, a.total);
    lastRate = tokens / minutes;
    lastCostRate = std::max(0.0, s.cost - a.cost) / (minutes / 60.0);
    k.rates.push_back(lastRate);
    k.vol += tokens;
    k.fresh += growth(s.input, a.input);
    k.output += growth(s.output, a.output);
    k.cacheRead += growth(s.cacheRead, a.cacheRead);
    k.cacheWrite += growth(s.cacheWrite, a.cacheWrite);
    k.kinds = k.kinds && a.kinds && s.kinds;
  }

  API::LiveCandleFrame frame;
  frame.connected = request.connected;
  frame.bucketMs = static_cast<double>(b);
  const int64_t lastSampleMs = samples.empty() ? 0 : samples.back().atMs;
  const bool stale = samples.empty() || request.nowMs - lastSampleMs > CandleLimits::staleAfterMs;
  frame.stale = stale;
  frame.tokenRate = stale ? 0.0 : lastRate;
  frame.costRate = stale ? 0.0 : lastCostRate;

  bool anyObserved = false;
  std::optional<double> previousClose;
  const int64_t currentBucket = (request.nowMs - start) / b;
  frame.candles.reserve(buckets.size());
  for (size_t i = 0; i < buckets.size(); ++i) {
    const auto& k = buckets[i];
    API::LiveCandle c;
    c.at = static_cast<double>(start + static_cast<int64_t>(i) * b);
    if (static_cast<int64_t>(i) == currentBucket) c.provisional = true;
    if (!k.rates.empty()) {
      anyObserved = true;
      c.observed = true;
      c.flowObserved = k.kinds;
      c.open = previousClose.value_or(k.rates.front());
      c.close = k.rates.back();
      c.high = std::max(c.open, *std::max_element(k.rates.begin(), k.rates.end()));
      c.low = std::min(c.open, *std::min_element(k.rates.begin(), k.rates.end()));
      c.vol = k.vol;
      if (k.kinds) {
        c.fresh = k.fresh;
        c.output = k.output;
        c.cacheRead = k.cacheRead;
        c.cacheWrite = k.cacheWrite;
        const double prompt = k.fresh + k.cacheRead + k.cacheWrite;
        if (prompt > 0) c.reusePct = k.cacheRead / prompt * 100.0;
      }
      previousClose = c.close;
    } else {
      previousClose.reset();
    }
    frame.candles.push_back(c);
  }
  frame.state = !anyObserved ? "empty" : (stale ? "idle" : "live");
  return frame;
}

}  // namespace quorvin::server
