#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

namespace quorvin::server {

// A token bucket per pair code: a few quick polls are fine, a tight loop is refused.
// The app polls every 3 seconds, well inside the refill rate.
class PollRateLimiter {
 public:
  static constexpr double capacity = 5;
  static constexpr double refillPerSecond = 0.5;
  static constexpr size_t maxTracked = 100'000;

  bool allow(const std::string& code, int64_t nowMs);

 private:
  struct Bucket {
    double tokens = capacity;
    int64_t lastMs = 0;
  };
  void prune(int64_t nowMs);
  std::unordered_map<std::string, Bucket> buckets_;
};

}  // namespace quorvin::server
