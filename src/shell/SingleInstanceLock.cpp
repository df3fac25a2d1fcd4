#include "shell/SingleInstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace quorvin {

SingleInstanceLock::Outcome SingleInstanceLock::acquire(const std::filesystem::path& file) {
  std::error_code error;
  std::filesystem::create_directories(file.parent_path(), error);
  if (error) return CouldNotCreateDirectory{error.message()};
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return CouldNotOpen{errno};
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int lockError = errno;
    ::close(fd);
    if (lockError == EWOULDBLOCK) return HeldElsewhere{};
    return CouldNotOpen{lockError};
  }
  // A failed write leaves the lock held: the id is only a hint for people.
  const std::string text = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) == 0 && ::pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size())) {
    ::fsync(fd);
  }
  return std::unique_ptr<SingleInstanceLock>(new SingleInstanceLock(fd));
}

std::string SingleInstanceLock::describe(const Outcome& outcome) {
  if (const auto* directory = std::get_if<CouldNotCreateDirectory>(&outcome)) {
    return "could not create the lock folder: " + directory->message;
  }
  if (const auto* open = std::get_if<CouldNotOpen>(&outcome)) {
    return "could not open the lock file: " + std::string(std::strerror(open->error));
  }
  if (std::holds_alternative<HeldElsewhere>(outcome)) return "the lock is held by another copy";
  return {};
}

SingleInstanceLock::~SingleInstanceLock() {
  ::flock(descriptor_, LOCK_UN);
  ::close(descriptor_);
}

}  // namespace quorvin
