#pragma once

#include <chrono>

#include "core/Clock.h"

namespace quorvin::test {

// A clock that moves only when the test moves it.
class ManualClock : public Clock {
 public:
  explicit ManualClock(WallTime start = WallTime(std::chrono::seconds(1'800'000'000))) : now_(start) {}
  WallTime now() const override { return now_; }
  void advance(std::chrono::nanoseconds step) { now_ += std::chrono::duration_cast<WallTime::duration>(step); }
  void set(WallTime time) { now_ = time; }

 private:
  WallTime now_;
};

}  // namespace quorvin::test
