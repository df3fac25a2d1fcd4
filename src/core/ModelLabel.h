#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorvin {

// The one rule for model names from any source: trimmed, at most 48 characters,
// absent when empty.
inline constexpr size_t kModelLabelMaxCharacters = 48;
std::optional<std::string> cleanModelLabel(std::string_view raw);

}  // namespace quorvin
