#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include <simdjson.h>

namespace quorvin::TokenFigure {

// The tolerant integer reading of every token figure: a JSON integer as is, any other
// number truncated toward zero, a string holding exactly a base-10 integer with an
// optional sign; everything else, null and a missing key give 0. A value outside the
// signed 64-bit range gives 0 whatever its form: it is corruption, not a count.
int64_t read(simdjson::dom::element value) noexcept;
int64_t read(std::optional<simdjson::dom::element> value) noexcept;
int64_t fromText(std::string_view text) noexcept;

// Field lookup with the last of duplicate keys winning, as in the agents' own JavaScript
// and Python readers. Absent when the key is missing (or the value is not an object).
std::optional<simdjson::dom::element> field(std::optional<simdjson::dom::element> object,
                                            std::string_view key) noexcept;
// The value under `key` when it is an object.
std::optional<simdjson::dom::element> objectField(std::optional<simdjson::dom::element> object,
                                                  std::string_view key) noexcept;
std::optional<std::string_view> stringField(std::optional<simdjson::dom::element> object,
                                            std::string_view key) noexcept;
// Present and not null.
bool hasValue(std::optional<simdjson::dom::element> object, std::string_view key) noexcept;

// The integer figure under `key` of `object` (0 when either is missing).
inline int64_t figure(std::optional<simdjson::dom::element> object, std::string_view key) noexcept {
  return read(field(object, key));
}

}  // namespace quorvin::TokenFigure
