#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>

namespace quorvin {

// Nanosecond file time exactly as the file system reports it, so equality is exact.
struct FileTime {
  int64_t seconds = 0;
  int64_t nanoseconds = 0;
  auto operator<=>(const FileTime&) const = default;
};

// Which file a path names: stable across renames, new after a replacement. File systems
// hand a deleted file's inode number to the next new file, so where the birth time is
// known it is part of the identity too.
struct FileIdentity {
  std::optional<uint64_t> device;
  uint64_t inode = 0;
  std::optional<FileTime> born;
  auto operator<=>(const FileIdentity&) const = default;
  bool operator==(const FileIdentity&) const = default;
};

// What a store file looked like: a change of any field means it may have new rows.
struct FileStamp {
  std::optional<FileIdentity> identity;
  uint64_t size = 0;
  FileTime modified;
  bool operator==(const FileStamp&) const = default;
};

inline FileIdentity fileIdentityOf(const struct stat& st) noexcept {
  return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

inline FileTime modificationTimeOf(const struct stat& st) noexcept {
  return FileTime{static_cast<int64_t>(st.st_mtim.tv_sec), static_cast<int64_t>(st.st_mtim.tv_nsec)};
}

// The stamp of the file at `path` (following links); none when it cannot be read.
std::optional<FileStamp> fileStamp(const std::string& path) noexcept;

}  // namespace quorvin
