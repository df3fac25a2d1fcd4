#pragma once

#include <string>
#include <string_view>

namespace quorvin {

// Whether `bytes` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF),
// the form every JSON reader here insists on.
bool isValidUtf8(std::string_view bytes) noexcept;

// `bytes` with each ill-formed sequence replaced by U+FFFD.
std::string repairedUtf8(std::string_view bytes);

}  // namespace quorvin
