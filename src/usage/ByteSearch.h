#pragma once

#include <span>
#include <string_view>

namespace quorvin {

// Whether any of `needles` (at most 3, each at least 3 bytes) occurs in `haystack`, in one
// pass. Built for the log pre-filter: most lines are long and hold none of them, so the
// scan tests three bytes of each needle (its first two and its last) at 32 (AVX2) or 16
// positions at a time and checks a whole needle only on a hit. Testing an inner byte
// matters: the needles are quoted key names and quotes are everywhere in JSON.
bool containsAnyBytes(std::string_view haystack, std::span<const std::string_view> needles) noexcept;

inline bool containsBytes(std::string_view haystack, std::string_view needle) noexcept {
  return containsAnyBytes(haystack, std::span<const std::string_view>(&needle, 1));
}

}  // namespace quorvin
