#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace quorvin {

// What reading a whole small file found. Never blocks on a FIFO or a device.
struct FileRead {
  enum class Outcome {
    ok,
    missing,     // no such file (or a missing folder on the way)
    notRegular,  // a folder, FIFO, device, or a symbolic link when links are not followed
    tooLarge,    // more than the bound
    unreadable,  // any other failure to open or read; `error` says why
  };
  Outcome outcome = Outcome::missing;
  std::string bytes;  // ok only
  int error = 0;      // errno of an unreadable file

  bool ok() const noexcept { return outcome == Outcome::ok; }
  // A short reason for a log line or an error message; never the content.
  std::string reason() const;
};

enum class FollowLinks { yes, no };

// The whole content of the regular file `file` when it holds at most `maxBytes` bytes.
FileRead readFileWithin(const std::filesystem::path& file, std::size_t maxBytes,
                        FollowLinks links = FollowLinks::yes) noexcept;

// The content only; none for anything but `ok`.
std::optional<std::string> readBoundedFile(const std::string& path, std::size_t maxBytes) noexcept;

}  // namespace quorvin
