#include "wire/JsonFields.h"

#include <boost/json/parse.hpp>
#include <cmath>
#include <limits>

namespace quorvin::json_fields {

namespace json = boost::json;

std::optional<int64_t> toInt64(const json::value& value) noexcept {
  if (value.is_int64()) return value.get_int64();
  if (value.is_uint64()) {
    if (value.get_uint64() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return static_cast<int64_t>(value.get_uint64());
  }
  if (value.is_double()) {
    const double d = value.get_double();
    // 2^63 itself is out of range; the comparison is exact for doubles.
    if (!std::isfinite(d) || d != std::trunc(d) || d < -9223372036854775808.0 || d >= 9223372036854775808.0) {
      return std::nullopt;
    }
    return static_cast<int64_t>(d);
  }
  return std::nullopt;
}

std::optional<double> toDouble(const json::value& value) noexcept {
  if (value.is_double()) return value.get_double();
  if (value.is_int64()) return static_cast<double>(value.get_int64());
  if (value.is_uint64()) return static_cast<double>(value.get_uint64());
  return std::nullopt;
}

const json::value* find(const json::object& object, std::string_view key) noexcept {
  return object.if_contains(key);
}

bool presentAndNotNull(const json::object& object, std::string_view key) noexcept {
  const auto* v = find(object, key);
  return v != nullptr && !v->is_null();
}

bool readString(const json::object& object, std::string_view key, std::string& out) {
  const auto* v = find(object, key);
  if (v == nullptr || !v->is_string()) return false;
  out.assign(v->get_string().data(), v->get_string().size());
  return true;
}

bool readInt64(const json::object& object, std::string_view key, int64_t& out) noexcept {
  const auto* v = find(object, key);
  if (v == nullptr) return false;
  auto n = toInt64(*v);
  if (!n) return false;
  out = *n;
  return true;
}

bool readDouble(const json::object& object, std::string_view key, double& out) noexcept {
  const auto* v = find(object, key);
  if (v == nullptr) return false;
  auto n = toDouble(*v);
  if (!n) return false;
  out = *n;
  return true;
}

bool readBool(const json::object& object, std::string_view key, bool& out) noexcept {
  const auto* v = find(object, key);
  if (v == nullptr || !v->is_bool()) return false;
  out = v->get_bool();
  return true;
}

bool readOptionalString(const json::object& object, std::string_view key, std::optional<std::string>& out) {
  if (!presentAndNotNull(object, key)) return true;
  std::string s;
  if (!readString(object, key, s)) return false;
  out = std::move(s);
  return true;
}

bool readOptionalInt64(const json::object& object, std::string_view key, std::optional<int64_t>& out) noexcept {
  if (!presentAndNotNull(object, key)) return true;
  int64_t n = 0;
  if (!readInt64(object, key, n)) return false;
  out = n;
  return true;
}

bool readOptionalDouble(const json::object& object, std::string_view key, std::optional<double>& out) noexcept {
  if (!presentAndNotNull(object, key)) return true;
  double n = 0;
  if (!readDouble(object, key, n)) return false;
  out = n;
  return true;
}

bool readOptionalBool(const json::object& object, std::string_view key, std::optional<bool>& out) noexcept {
  if (!presentAndNotNull(object, key)) return true;
  bool b = false;
  if (!readBool(object, key, b)) return false;
  out = b;
  return true;
}

std::optional<json::value> parseDocument(std::string_view text) noexcept {
  try {
    json::error_code ec;
    json::parse_options options;
    options.max_depth = 32;
    json::value value = json::parse(text, ec, {}, options);
    if (ec) return std::nullopt;
    return value;
  } catch (...) {
    // Allocation failure is the only throw left; treat it as undecodable input.
    return std::nullopt;
  }
}

}  // namespace quorvin::json_fields
