#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace quorvin {

using WallTime = std::chrono::system_clock::time_point;

// ISO 8601 internet date-time (RFC 3339), "2026-01-02T03:04:05.678Z" or with an offset.
// withFraction: fractional seconds required; otherwise they must be absent. Malformed
// text gives no value.
std::optional<WallTime> parseIso8601(std::string_view text, bool withFraction) noexcept;
// Tries the fractional form first, then the plain one.
std::optional<WallTime> parseIso8601Either(std::string_view text) noexcept;

// "2026-01-02T03:04:05Z": UTC, whole seconds (the fraction is dropped).
std::string formatIso8601Seconds(WallTime time);

}  // namespace quorvin
