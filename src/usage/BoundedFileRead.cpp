#include "usage/BoundedFileRead.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvin {

std::optional<std::string> readBoundedFile(const std::string& path, size_t maxBytes) noexcept {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> result;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) <= maxBytes) {
    try {
      // One byte more than allowed tells a file that grew past the bound since fstat.
      std::string content(maxBytes + 1 < size_t(st.st_size) + 4096 ? maxBytes + 1 : size_t(st.st_size) + 4096, '\0');
      size_t used = 0;
      bool failed = false;
      while (used < content.size()) {
        ssize_t n = ::read(fd, content.data() + used, content.size() - used);
        if (n < 0) {
          failed = true;
          break;
        }
        if (n == 0) break;
        used += static_cast<size_t>(n);
      }
      if (!failed && used <= maxBytes) {
        content.resize(used);
        result = std::move(content);
      }
    } catch (...) {
      result.reset();
    }
  }
  ::close(fd);
  return result;
}

}  // namespace quorvin
