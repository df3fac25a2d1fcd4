#include "sources/SourceFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace quorvin::SourceFiles {

namespace {

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

bool writeAll(int fd, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::optional<std::string> readBounded(const std::filesystem::path& path, size_t maxBytes) {
  Fd file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
  if (file.fd < 0) return std::nullopt;
  struct stat info {};
  if (::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  if (static_cast<unsigned long long>(info.st_size) > maxBytes) return std::nullopt;
  std::string bytes;
  char chunk[65536];
  while (true) {
    const ssize_t n = ::read(file.fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    // The file may grow after fstat: the bound holds for what is actually read.
    if (bytes.size() + static_cast<size_t>(n) > maxBytes) return std::nullopt;
    bytes.append(chunk, static_cast<size_t>(n));
  }
  return bytes;
}

bool writeAtomically(const std::filesystem::path& path, std::string_view bytes) {
  std::string temp = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
  Fd file{::mkostemp(temp.data(), O_CLOEXEC)};
  if (file.fd < 0) return false;
  bool ok = ::fchmod(file.fd, 0600) == 0 && writeAll(file.fd, bytes) && ::fsync(file.fd) == 0;
  ok = (::close(file.fd) == 0) && ok;
  file.fd = -1;
  if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  Fd folder{::open(path.parent_path().empty() ? "." : path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (folder.fd >= 0) ::fsync(folder.fd);
  return true;
}

}  // namespace quorvin::SourceFiles
