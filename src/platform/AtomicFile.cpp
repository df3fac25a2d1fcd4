#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/UniqueFd.h"

namespace quorvin {

namespace fs = std::filesystem;

namespace {

bool fail(std::string* error, const char* step) {
  if (error) *error = std::string(step) + ": " + std::strerror(errno);
  return false;
}

std::string temporaryPrefix(const fs::path& file) { return "." + file.filename().string() + ".tmp-"; }

fs::path folderOf(const fs::path& file) { return file.has_parent_path() ? file.parent_path() : fs::path("."); }

}  // namespace

bool writeFileAtomically(const fs::path& file, std::string_view bytes, mode_t mode, std::string* error) {
  const fs::path dir = folderOf(file);
  std::string pattern = (dir / (temporaryPrefix(file) + "XXXXXX")).string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  // mkostemp creates the file 0600, so a secret is never readable by others on the way.
  UniqueFd out(mkostemp(name.data(), O_CLOEXEC));
  if (!out) return fail(error, "create temporary");
  const std::string temporary(name.data());
  auto abandon = [&](const char* step) {
    const int saved = errno;
    ::unlink(temporary.c_str());
    errno = saved;
    return fail(error, step);
  };
  for (size_t done = 0; done < bytes.size();) {
    ssize_t n = ::write(out.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return abandon("write");
    }
    done += static_cast<size_t>(n);
  }
  if (fchmod(out.get(), mode) != 0) return abandon("chmod");
  if (fsync(out.get()) != 0) return abandon("fsync");
  if (::close(out.release()) != 0) return abandon("close");
  if (::rename(temporary.c_str(), file.c_str()) != 0) return abandon("rename");
  // The rename itself is durable only once the folder is.
  UniqueFd folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder) fsync(folder.get());
  return true;
}

void removeStaleTemporaries(const fs::path& file) {
  const std::string prefix = temporaryPrefix(file);
  std::error_code ec;
  for (fs::directory_iterator it(folderOf(file), ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::error_code ignored;
    if (name.size() == prefix.size() + 6 && name.starts_with(prefix)) fs::remove(it->path(), ignored);
  }
}

std::optional<fs::path> moveAside(const fs::path& file, WallTime now) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  fs::path aside = file;
  aside += std::string(".corrupt-") + stamp;
  if (::rename(file.c_str(), aside.c_str()) != 0) return std::nullopt;
  return aside;
}

}  // namespace quorvin
