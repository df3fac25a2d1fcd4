#include "core/Time.h"

#include <cctype>
#include <ctime>

namespace quorvin {

namespace {

// Reads exactly `width` digits at `pos`.
bool digits(std::string_view text, size_t& pos, size_t width, int& out) noexcept {
  if (pos + width > text.size()) return false;
  int value = 0;
  for (size_t i = 0; i < width; ++i) {
    char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  pos += width;
  out = value;
  return true;
}

bool expect(std::string_view text, size_t& pos, char c) noexcept {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

}  // namespace

std::optional<WallTime> parseIso8601(std::string_view text, bool withFraction) noexcept {
  using namespace std::chrono;
  size_t pos = 0;
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (!digits(text, pos, 4, y) || !expect(text, pos, '-') || !digits(text, pos, 2, mo) ||
      !expect(text, pos, '-') || !digits(text, pos, 2, d)) {
    return std::nullopt;
  }
  if (pos >= text.size() || (text[pos] != 'T' && text[pos] != 't')) return std::nullopt;
  ++pos;
  if (!digits(text, pos, 2, h) || !expect(text, pos, ':') || !digits(text, pos, 2, mi) ||
      !expect(text, pos, ':') || !digits(text, pos, 2, s)) {
    return std::nullopt;
  }
  nanoseconds fraction{0};
  bool hasFraction = pos < text.size() && text[pos] == '.';
  if (hasFraction != withFraction) return std::nullopt;
  if (hasFraction) {
    ++pos;
    size_t start = pos;
    int64_t nanos = 0;
    int64_t scale = 100'000'000;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      nanos += (text[pos] - '0') * scale;
      scale /= 10;
      ++pos;
    }
    if (pos == start) return std::nullopt;
    fraction = nanoseconds{nanos};
  }
  minutes offset{0};
  if (pos < text.size() && (text[pos] == 'Z' || text[pos] == 'z')) {
    ++pos;
  } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    int sign = text[pos] == '-' ? -1 : 1;
    ++pos;
    int oh = 0, om = 0;
    if (!digits(text, pos, 2, oh) || !expect(text, pos, ':') || !digits(text, pos, 2, om) || oh > 23 ||
        om > 59) {
      return std::nullopt;
    }
    offset = minutes{sign * (oh * 60 + om)};
  } else {
    return std::nullopt;
  }
  if (pos != text.size()) return std::nullopt;
  if (h > 23 || mi > 59 || s > 60) return std::nullopt;
  year_month_day date{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
  if (!date.ok()) return std::nullopt;
  auto seconds = sys_days{date}.time_since_epoch() + hours{h} + minutes{mi} + std::chrono::seconds{s} - offset;
  // WallTime counts nanoseconds in 64 bits (years 1678 to 2262); a date outside that
  // cannot be represented and must not overflow into another one.
  constexpr std::chrono::seconds kRepresentable{9'000'000'000};
  if (seconds <= -kRepresentable || seconds >= kRepresentable) return std::nullopt;
  return WallTime{duration_cast<WallTime::duration>(seconds + fraction)};
}

std::optional<WallTime> parseIso8601Either(std::string_view text) noexcept {
  if (auto t = parseIso8601(text, true)) return t;
  return parseIso8601(text, false);
}

std::string formatIso8601Seconds(WallTime time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(time));
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

}  // namespace quorvin
