#include "sources/ReferenceTime.h"

#include <chrono>
#include <cmath>

namespace quorvin::ReferenceTime {

double seconds(WallTime time) {
  if (time == WallTime::min()) return kDistantPastSeconds;
  const auto sinceEpoch = std::chrono::duration<double>(time.time_since_epoch()).count();
  return sinceEpoch - kUnixOffset;
}

std::optional<WallTime> time(double seconds) {
  if (!std::isfinite(seconds)) return std::nullopt;
  const double unix = seconds + kUnixOffset;
  using Rep = WallTime::duration;
  const double perSecond = static_cast<double>(Rep::period::den) / static_cast<double>(Rep::period::num);
  const double ticks = unix * perSecond;
  // Anything outside the representable span is treated as its nearest end.
  if (ticks <= static_cast<double>(WallTime::min().time_since_epoch().count()) + 1.0) return WallTime::min();
  if (ticks >= static_cast<double>(WallTime::max().time_since_epoch().count()) - 1024.0) return WallTime::max();
  return WallTime(Rep(static_cast<Rep::rep>(ticks)));
}

}  // namespace quorvin::ReferenceTime
