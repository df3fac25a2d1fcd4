#pragma once

#include <string>
#include <string_view>

namespace quorvin {

// Keeps at most `maxCharacters` user-perceived characters (extended grapheme clusters)
// of UTF-8 text. A cut never splits a UTF-8 sequence, a combining sequence or an emoji
// sequence. Invalid UTF-8 is cut at code-unit boundaries ICU reports.
std::string prefixOfCharacters(std::string_view utf8, size_t maxCharacters);

// Leading and trailing white space and line breaks removed (Unicode white space).
std::string_view trimWhitespace(std::string_view utf8) noexcept;

}  // namespace quorvin
