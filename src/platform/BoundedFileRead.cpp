#include "platform/BoundedFileRead.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/UniqueFd.h"

namespace quorvin {

std::string FileRead::reason() const {
  switch (outcome) {
    case Outcome::ok: return "read";
    case Outcome::missing: return "missing";
    case Outcome::notRegular: return "not a regular file";
    case Outcome::tooLarge: return "too large";
    case Outcome::unreadable: return std::strerror(error != 0 ? error : EIO);
  }
  return "unreadable";
}

FileRead readFileWithin(const std::filesystem::path& file, std::size_t maxBytes, FollowLinks links) noexcept {
  FileRead read;
  auto failed = [&read](FileRead::Outcome outcome, int error = 0) {
    read.outcome = outcome;
    read.error = error;
    read.bytes.clear();
    return std::move(read);
  };
  const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (links == FollowLinks::no ? O_NOFOLLOW : 0);
  UniqueFd fd(::open(file.c_str(), flags));
  if (!fd) {
    const int error = errno;
    if (error == ENOENT) return failed(FileRead::Outcome::missing);
    if (error == ELOOP && links == FollowLinks::no) return failed(FileRead::Outcome::notRegular);
    return failed(FileRead::Outcome::unreadable, error);
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return failed(FileRead::Outcome::unreadable, errno);
  if (!S_ISREG(info.st_mode)) return failed(FileRead::Outcome::notRegular);
  if (static_cast<unsigned long long>(info.st_size) > maxBytes) return failed(FileRead::Outcome::tooLarge);
  try {
    // Room for one byte past the bound tells a file that grew since fstat.
    const std::size_t expected = static_cast<std::size_t>(info.st_size);
    read.bytes.resize(expected < maxBytes ? expected + 1 : maxBytes + 1);
    std::size_t used = 0;
    for (;;) {
      if (used == read.bytes.size()) {
        if (used > maxBytes) return failed(FileRead::Outcome::tooLarge);
        read.bytes.resize(std::min(maxBytes + 1, used + used / 2 + 4096));
      }
      const ssize_t n = ::read(fd.get(), read.bytes.data() + used, read.bytes.size() - used);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return failed(FileRead::Outcome::unreadable, errno);
      if (n == 0) break;
      used += static_cast<std::size_t>(n);
    }
    if (used > maxBytes) return failed(FileRead::Outcome::tooLarge);
    read.bytes.resize(used);
  } catch (...) {
    return failed(FileRead::Outcome::unreadable, ENOMEM);
  }
  read.outcome = FileRead::Outcome::ok;
  return read;
}

std::optional<std::string> readBoundedFile(const std::string& path, std::size_t maxBytes) noexcept {
  FileRead read = readFileWithin(path, maxBytes);
  if (!read.ok()) return std::nullopt;
  return std::move(read.bytes);
}

}  // namespace quorvin
