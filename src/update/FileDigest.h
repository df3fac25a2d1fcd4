#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace quorvin {

// Lower-case hex SHA-256 of a file, read in 1 MiB chunks. Throws std::system_error when the
// file cannot be read.
std::string sha256OfFile(const std::filesystem::path& path);

// A small regular file's bytes (never through a symbolic link); no value when it is missing,
// not a regular file, unreadable or larger than `limit`.
std::optional<std::string> readSmallFile(const std::filesystem::path& path, size_t limit);

}  // namespace quorvin
