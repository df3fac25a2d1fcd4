#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quorvin::SourceFiles {

// The whole file when it is a regular file of at most maxBytes; nothing otherwise
// (missing, unreadable, a directory, or too large: outside files are never trusted).
std::optional<std::string> readBounded(const std::filesystem::path& path, size_t maxBytes);

// Replaces the file atomically: a temporary file beside it (0600), fsync, rename, and
// fsync of the folder, so a crash leaves the old or the new content, never a mix.
bool writeAtomically(const std::filesystem::path& path, std::string_view bytes);

}  // namespace quorvin::SourceFiles
