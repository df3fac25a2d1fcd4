#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace quorvin {

// The whole content of a regular file of at most maxBytes bytes; none when the file is
// missing, not regular, larger, or unreadable. Never blocks on a FIFO.
std::optional<std::string> readBoundedFile(const std::string& path, size_t maxBytes) noexcept;

}  // namespace quorvin
