#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

namespace quorvin {

namespace fs = std::filesystem;

namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

bool fail(std::string* error, const char* step) {
  if (error) *error = std::string(step) + ": " + std::strerror(errno);
  return false;
}

std::string temporaryPrefix(const fs::path& file) { return "." + file.filename().string() + ".tmp-"; }

}  // namespace

bool writeFileAtomically(const fs::path& file, std::string_view bytes, mode_t mode, std::string* error) {
  const fs::path dir = file.has_parent_path() ? file.parent_path() : fs::path(".");
  std::string pattern = (dir / (temporaryPrefix(file) + "XXXXXX")).string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  Fd out(mkostemp(name.data(), O_CLOEXEC));
  if (out.get() < 0) return fail(error, "create temporary");
  const std::string temporary(name.data());
  auto abandon = [&](const char* step) {
    const int saved = errno;
    ::unlink(temporary.c_str());
    errno = saved;
    return fail(error, step);
  };
  if (fchmod(out.get(), mode) != 0) return abandon("chmod");
  for (size_t done = 0; done < bytes.size();) {
    ssize_t n = ::write(out.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return abandon("write");
    }
    done += static_cast<size_t>(n);
  }
  if (fsync(out.get()) != 0) return abandon("fsync");
  if (::close(out.release()) != 0) return abandon("close");
  if (::rename(temporary.c_str(), file.c_str()) != 0) return abandon("rename");
  // The rename itself is durable only once the folder is.
  Fd folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() >= 0) fsync(folder.get());
  return true;
}

void removeStaleTemporaries(const fs::path& file) {
  const fs::path dir = file.has_parent_path() ? file.parent_path() : fs::path(".");
  const std::string prefix = temporaryPrefix(file);
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() == prefix.size() + 6 && name.starts_with(prefix)) fs::remove(it->path(), ec);
  }
}

}  // namespace quorvin
