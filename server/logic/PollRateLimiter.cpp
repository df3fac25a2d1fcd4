#include "server/logic/PollRateLimiter.h"

#include <algorithm>

namespace quorvin::server {

bool PollRateLimiter::allow(const std::string& code, int64_t nowMs) {
  if (buckets_.size() >= maxTracked) prune(nowMs);
  auto [it, inserted] = buckets_.try_emplace(code);
  auto& b = it->second;
  if (!inserted) {
    const double elapsed = static_cast<double>(std::max<int64_t>(0, nowMs - b.lastMs)) / 1000.0;
    b.tokens = std::min(capacity, b.tokens + elapsed * refillPerSecond);
  }
  b.lastMs = nowMs;
  if (b.tokens < 1) return false;
  b.tokens -= 1;
  return true;
}

void PollRateLimiter::prune(int64_t nowMs) {
  // A bucket idle long enough to be full again carries no information.
  const auto fullAfterMs = static_cast<int64_t>(capacity / refillPerSecond * 1000);
  std::erase_if(buckets_, [&](const auto& entry) { return nowMs - entry.second.lastMs > fullAfterMs; });
  if (buckets_.size() >= maxTracked) buckets_.clear();
}

}  // namespace quorvin::server
