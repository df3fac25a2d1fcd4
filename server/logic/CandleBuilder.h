#pragma once

#include <cstdint>
#include <vector>

#include "wire/ServiceRecords.h"
#include "server/storage/UsageStore.h"

namespace quorvin::server {

// Turns an account's sampled totals into the public candle frame.
//
// Each pair of consecutive samples is one interval whose flow is its token growth per
// minute; it belongs to the bucket its later sample falls in. A bucket's candle opens at
// the previous observed bucket's close (or its first interval), closes at its last
// interval, and its high and low span every interval in between. `vol` and the four kinds
// are the bucket's growth in tokens. Counters that went down (a corrected accounting)
// count as no growth.
struct CandleRequest {
  int64_t nowMs = 0;
  int64_t target = 45;     // number of buckets, clamped to 1...maxBuckets
  bool connected = false;  // the account has a device that is not revoked
};

struct CandleLimits {
  static constexpr int64_t bucketMs = 60'000;
  static constexpr int64_t maxBuckets = 720;
  static constexpr int64_t staleAfterMs = 60'000;
};

// First instant whose samples a frame for `request` needs (the caller loads from there).
int64_t candleWindowStart(const CandleRequest& request);
API::LiveCandleFrame buildCandles(const std::vector<UsageSample>& samples, const CandleRequest& request);

}  // namespace quorvin::server
