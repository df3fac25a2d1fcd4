#include "publishing/OracleKeyFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace quorvin {

namespace fs = std::filesystem;

namespace {

std::optional<crypto::Ed25519Seed> readSeed(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  crypto::Ed25519Seed seed{};
  // One byte more than a key tells a longer file from a valid one.
  uint8_t buffer[33];
  ssize_t total = 0;
  while (total < static_cast<ssize_t>(sizeof buffer)) {
    const ssize_t n = ::read(fd, buffer + total, sizeof buffer - static_cast<size_t>(total));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += n;
  }
  ::close(fd);
  if (total != 32) return std::nullopt;
  std::copy(buffer, buffer + 32, seed.begin());
  if (!crypto::ed25519PublicKey(seed)) return std::nullopt;
  return seed;
}

[[noreturn]] void fail(const char* what, const fs::path& path) {
  throw fs::filesystem_error(what, path, std::error_code(errno, std::generic_category()));
}

void writeAtomically(const fs::path& file, const crypto::Ed25519Seed& seed) {
  fs::path temp = file;
  temp += ".tmp-" + crypto::randomHex(6);
  // Created 0600 from the first byte so the secret is never readable by others.
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) fail("cannot create the oracle key", temp);
  size_t written = 0;
  while (written < seed.size()) {
    const ssize_t n = ::write(fd, seed.data() + written, seed.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int saved = errno;
      ::close(fd);
      ::unlink(temp.c_str());
      errno = saved;
      fail("cannot write the oracle key", temp);
    }
    written += static_cast<size_t>(n);
  }
  if (::fchmod(fd, 0600) != 0 || ::fsync(fd) != 0) {
    const int saved = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    errno = saved;
    fail("cannot store the oracle key", temp);
  }
  ::close(fd);
  if (::rename(temp.c_str(), file.c_str()) != 0) {
    const int saved = errno;
    ::unlink(temp.c_str());
    errno = saved;
    fail("cannot replace the oracle key", file);
  }
  // The rename is durable only once the directory entry is.
  const int dir = ::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

}  // namespace

crypto::Ed25519Seed loadOrCreateOracleKey(const fs::path& dataDir) {
  const fs::path file = dataDir / oracleKeyFileName;
  if (auto seed = readSeed(file)) return *seed;
  fs::create_directories(dataDir);
  const auto seed = crypto::ed25519GenerateSeed();
  writeAtomically(file, seed);
  return seed;
}

}  // namespace quorvin
