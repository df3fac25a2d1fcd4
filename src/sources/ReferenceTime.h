#pragma once

#include <optional>

#include "core/Time.h"

namespace quorvin::ReferenceTime {

// Seconds since 2001-01-01T00:00:00Z, the time encoding of the Cursor ledger file.
inline constexpr double kUnixOffset = 978307200.0;
// The "distant past" (year 1) in that encoding; WallTime cannot hold it, so it maps to
// WallTime::min() and back.
inline constexpr double kDistantPastSeconds = -63114076800.0;

inline WallTime distantPast() { return WallTime::min(); }
double seconds(WallTime time);
// Finite seconds to a time, clamped to what WallTime holds; non-finite gives nothing.
std::optional<WallTime> time(double seconds);

}  // namespace quorvin::ReferenceTime
