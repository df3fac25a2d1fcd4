#include "sources/ProviderQuotaPresentation.h"

#include <cstdint>
#include <utility>

namespace quorvin::ProviderQuotaPresentation {

namespace {

// Whole seconds from `now` to `then`, truncated toward zero. Taken apart into floored
// seconds and a remainder: the nanosecond difference of two far-apart times overflows.
int64_t wholeSecondsBetween(WallTime now, WallTime then) {
  using namespace std::chrono;
  const auto split = [](WallTime t) {
    const auto whole = floor<seconds>(t.time_since_epoch());
    return std::pair<int64_t, int64_t>(whole.count(), duration_cast<nanoseconds>(t.time_since_epoch() - whole).count());
  };
  const auto [thenSeconds, thenRest] = split(then);
  const auto [nowSeconds, nowRest] = split(now);
  const int64_t s = thenSeconds - nowSeconds;
  const int64_t rest = thenRest - nowRest;
  if (s > 0 && rest < 0) return s - 1;
  if (s < 0 && rest > 0) return s + 1;
  return s;
}

}  // namespace

std::string resetText(std::optional<WallTime> resetsAt, WallTime now) {
  if (!resetsAt) return "reset \u2014";
  const int64_t s = wholeSecondsBetween(now, *resetsAt);
  if (s < 1) return "reset now";
  if (s < 60) return "reset <1m";
  if (s < 3'600) return "reset " + std::to_string(s / 60) + "m";
  if (s < 86'400) return "reset " + std::to_string(s / 3'600) + "h";
  return "reset " + std::to_string(s / 86'400) + "d";
}

}  // namespace quorvin::ProviderQuotaPresentation
