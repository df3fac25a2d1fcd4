#include "server/logic/RateLimiter.h"

#include <algorithm>

namespace quorvin::server {

double RateLimiter::refilled(const Bucket& bucket, int64_t nowMs) const {
  const double elapsed = static_cast<double>(std::max<int64_t>(0, nowMs - bucket.lastMs)) / 1000.0;
  return std::min(rate_.capacity, bucket.tokens + elapsed * rate_.refillPerSecond);
}

bool RateLimiter::hasBudget(std::string_view key, int64_t nowMs) {
  if (key.size() > maxKeyBytes) key = key.substr(0, maxKeyBytes);
  auto it = buckets_.find(std::string(key));
  return it == buckets_.end() || refilled(it->second, nowMs) >= 1;
}

bool RateLimiter::allow(std::string_view key, int64_t nowMs) {
  // Callers pass addresses and checked codes; a longer key is cut rather than stored whole.
  if (key.size() > maxKeyBytes) key = key.substr(0, maxKeyBytes);
  auto it = buckets_.find(std::string(key));
  if (it == buckets_.end()) {
    if (buckets_.size() >= maxTracked_) makeRoom(nowMs);
    it = buckets_.emplace(std::string(key), Bucket{rate_.capacity, nowMs}).first;
  } else {
    it->second.tokens = refilled(it->second, nowMs);
    it->second.lastMs = nowMs;
  }
  if (it->second.tokens < 1) return false;
  it->second.tokens -= 1;
  return true;
}

void RateLimiter::makeRoom(int64_t nowMs) {
  // A bucket that has refilled completely carries no information.
  std::erase_if(buckets_, [&](const auto& entry) { return refilled(entry.second, nowMs) >= rate_.capacity; });
  // Still full: every key is busy, which only a flood of invented keys does. Forgetting them
  // all hands each a fresh budget once, which is better than growing without limit.
  if (buckets_.size() >= maxTracked_) buckets_.clear();
}

}  // namespace quorvin::server
