#pragma once

#include <boost/json/value.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvin::json_fields {

// Typed reads of one key of a decoded object. Each returns no value when the key is
// missing or holds another type; the caller decides whether that is an error.
// Integers accept integral JSON numbers (5 or 5.0) within the signed 64-bit range.
std::optional<int64_t> toInt64(const boost::json::value& value) noexcept;
std::optional<double> toDouble(const boost::json::value& value) noexcept;

const boost::json::value* find(const boost::json::object& object, std::string_view key) noexcept;

// A key that is present with JSON null counts as absent, as Foundation's decoder treats
// optionals.
bool presentAndNotNull(const boost::json::object& object, std::string_view key) noexcept;

// Required reads: false when missing or of the wrong type.
bool readString(const boost::json::object& object, std::string_view key, std::string& out);
bool readInt64(const boost::json::object& object, std::string_view key, int64_t& out) noexcept;
bool readDouble(const boost::json::object& object, std::string_view key, double& out) noexcept;
bool readBool(const boost::json::object& object, std::string_view key, bool& out) noexcept;

// Optional reads: true when absent/null (out untouched) or present with the right type;
// false when present with the wrong type (a decoding error).
bool readOptionalString(const boost::json::object& object, std::string_view key, std::optional<std::string>& out);
bool readOptionalInt64(const boost::json::object& object, std::string_view key, std::optional<int64_t>& out) noexcept;
bool readOptionalDouble(const boost::json::object& object, std::string_view key, std::optional<double>& out) noexcept;
bool readOptionalBool(const boost::json::object& object, std::string_view key, std::optional<bool>& out) noexcept;

// Parses a whole document; malformed text (or trailing bytes) gives no value. Never throws.
std::optional<boost::json::value> parseDocument(std::string_view text) noexcept;

}  // namespace quorvin::json_fields
