#pragma once

#include <string_view>

namespace quorvin {

// Whether `needle` (at least 3 bytes) occurs in `haystack`. Built for the log pre-filter:
// most lines are long and lack the needle, so the scan compares two inner bytes of the
// needle sixteen positions at a time and only then the whole needle. The inner bytes
// matter: the needles are quoted key names and quotes are everywhere in JSON.
bool containsBytes(std::string_view haystack, std::string_view needle) noexcept;

}  // namespace quorvin
