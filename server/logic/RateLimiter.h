#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quorvin::server {

// Token buckets keyed by a short text (a client address, a pair code, an account). A few quick
// tries are fine, a tight loop is refused. The table is bounded: at most `maxTracked` keys of
// at most `maxKeyBytes` each, so a stranger inventing keys cannot grow it without limit.
class RateLimiter {
 public:
  struct Rate {
    double capacity = 5;
    double refillPerSecond = 0.5;
  };
  static constexpr size_t maxKeyBytes = 96;

  explicit RateLimiter(Rate rate, size_t maxTracked = 100'000) : rate_(rate), maxTracked_(maxTracked) {}

  // Spends one token; false (and nothing spent) when the bucket is empty.
  bool allow(std::string_view key, int64_t nowMs);
  // Whether a token is left, without spending it: for budgets spent only on failure.
  bool hasBudget(std::string_view key, int64_t nowMs);
  // Spends one token when there is one (a failure to count).
  void spend(std::string_view key, int64_t nowMs) { (void)allow(key, nowMs); }

  size_t tracked() const { return buckets_.size(); }

 private:
  struct Bucket {
    double tokens = 0;
    int64_t lastMs = 0;
  };
  double refilled(const Bucket& bucket, int64_t nowMs) const;
  void makeRoom(int64_t nowMs);

  Rate rate_;
  size_t maxTracked_;
  std::unordered_map<std::string, Bucket> buckets_;
};

}  // namespace quorvin::server
