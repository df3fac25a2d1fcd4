#include "usage/TokenFigure.h"

#include <charconv>
#include <cmath>

namespace quorvin::TokenFigure {

using simdjson::dom::element;
using simdjson::dom::element_type;

int64_t read(element value) noexcept {
  switch (value.type()) {
    case element_type::INT64: {
      int64_t n = 0;
      return value.get_int64().get(n) == simdjson::SUCCESS ? n : 0;
    }
    case element_type::DOUBLE: {
      double d = 0;
      if (value.get_double().get(d) != simdjson::SUCCESS) return 0;
      // Exactly representable bounds: [-2^63, 2^63).
      if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) return 0;
      return static_cast<int64_t>(std::trunc(d));
    }
    case element_type::STRING: {
      std::string_view text;
      return value.get_string().get(text) == simdjson::SUCCESS ? fromText(text) : 0;
    }
    default:  // UINT64 (only ever above the signed range), objects, arrays, booleans, null
      return 0;
  }
}

int64_t read(std::optional<element> value) noexcept { return value ? read(*value) : 0; }

int64_t fromText(std::string_view text) noexcept {
  if (text.empty()) return 0;
  bool negative = false;
  if (text.front() == '+' || text.front() == '-') {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.front() < '0' || text.front() > '9') return 0;
  // Accumulate the magnitude unsigned so that -9223372036854775808 is in range.
  uint64_t magnitude = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude, 10);
  if (error != std::errc{} || end != text.data() + text.size()) return 0;
  constexpr uint64_t kMaxPositive = 9223372036854775807ull;
  if (negative) {
    if (magnitude > kMaxPositive + 1) return 0;
    return magnitude == kMaxPositive + 1 ? INT64_MIN : -static_cast<int64_t>(magnitude);
  }
  return magnitude > kMaxPositive ? 0 : static_cast<int64_t>(magnitude);
}

std::optional<element> field(std::optional<element> object, std::string_view key) noexcept {
  simdjson::dom::object members;
  if (!object || object->get_object().get(members) != simdjson::SUCCESS) return std::nullopt;
  std::optional<element> found;
  for (auto member : members) {
    if (member.key == key) found = member.value;
  }
  return found;
}

std::optional<simdjson::dom::element> objectField(std::optional<element> object, std::string_view key) noexcept {
  auto value = field(object, key);
  if (!value || !value->is_object()) return std::nullopt;
  return value;
}

std::optional<std::string_view> stringField(std::optional<element> object, std::string_view key) noexcept {
  auto value = field(object, key);
  std::string_view text;
  if (!value || value->get_string().get(text) != simdjson::SUCCESS) return std::nullopt;
  return text;
}

bool hasValue(std::optional<element> object, std::string_view key) noexcept {
  auto value = field(object, key);
  return value && !value->is_null();
}

}  // namespace quorvin::TokenFigure
