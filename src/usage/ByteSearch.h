#pragma once

#include <string_view>

namespace quorvin {

// Whether `needle` occurs in `haystack`. Built for the log pre-filter: most lines are
// long and lack the needle, so the scan tests three bytes of the needle (its first two
// and its last) at 16 or 32 positions at a time and only then the whole needle. Testing
// an inner byte matters: the needles are quoted key names and quotes are everywhere in
// JSON.
bool containsBytes(std::string_view haystack, std::string_view needle) noexcept;

}  // namespace quorvin
