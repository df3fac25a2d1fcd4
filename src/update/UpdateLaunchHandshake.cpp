#include "update/UpdateLaunchHandshake.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <system_error>

#include "core/Log.h"
#include "platform/Paths.h"
#include "update/RelaunchScript.h"

extern char** environ;

namespace quorvin {

namespace {

using Kind = UpdateLaunchHandshake::HandshakeError::Kind;

const char* describe(Kind kind) {
  switch (kind) {
    case Kind::invalidMarkerPath:
      return "The automatic-update readiness marker was outside the protected update directory.";
    case Kind::unsafeUpdateDirectory:
      return "The automatic-update directory was redirected or replaced.";
    case Kind::markerCreationFailed:
      return "The automatic-update readiness marker could not be created safely.";
  }
  return "";
}

// Lexically clean, without a trailing separator.
std::filesystem::path standardized(const std::filesystem::path& path) {
  auto clean = path.lexically_normal();
  if (clean.has_filename() || clean == clean.root_path()) return clean;
  return clean.parent_path();
}

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

void writeAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "write readiness marker");
    }
    done += static_cast<size_t>(n);
  }
}

}  // namespace

UpdateLaunchHandshake::HandshakeError::HandshakeError(Kind kind) : std::runtime_error(describe(kind)), kind_(kind) {}

std::filesystem::path UpdateLaunchHandshake::updatesDirectory(const Paths& paths) {
  return paths.appDataDir() / "updates";
}

bool UpdateLaunchHandshake::signalIfRequested(const Environment& environment,
                                              const std::filesystem::path& allowedDirectory,
                                              const std::string& version, pid_t processID, WallTime launchedAt) {
  const auto variable = environment.find(std::string(RelaunchScript::kMarkerVariable));
  if (variable == environment.end() || variable->second.empty()) return false;

  const auto allowed = standardized(allowedDirectory);
  const auto marker = standardized(std::filesystem::path(variable->second));
  const std::string name = marker.filename().string();
  if (!marker.is_absolute() || marker.parent_path() != allowed || !name.starts_with("ready-") ||
      marker.extension() != ".json") {
    throw HandshakeError(Kind::invalidMarkerPath);
  }

  char resolved[PATH_MAX];
  if (!::realpath(allowed.c_str(), resolved) || standardized(resolved) != allowed) {
    throw HandshakeError(Kind::unsafeUpdateDirectory);
  }
  struct stat before {};
  if (::lstat(allowed.c_str(), &before) != 0 || !S_ISDIR(before.st_mode)) throw HandshakeError(Kind::unsafeUpdateDirectory);
  Fd folder{::open(allowed.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
  if (folder.fd < 0) throw HandshakeError(Kind::unsafeUpdateDirectory);
  struct stat opened {};
  if (::fstat(folder.fd, &opened) != 0 || opened.st_dev != before.st_dev || opened.st_ino != before.st_ino) {
    throw HandshakeError(Kind::unsafeUpdateDirectory);
  }

  boost::json::object object;
  object["version"] = version.empty() ? std::string("unknown") : version;
  object["processID"] = static_cast<int64_t>(processID);
  object["launchedAt"] = std::chrono::duration<double>(launchedAt.time_since_epoch()).count();
  const std::string bytes = boost::json::serialize(object);

  Fd file{::openat(folder.fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
  if (file.fd < 0) throw HandshakeError(Kind::markerCreationFailed);
  try {
    writeAll(file.fd, bytes);
    if (::fsync(file.fd) != 0) throw std::system_error(errno, std::generic_category(), "sync readiness marker");
    const int fd = file.fd;
    file.fd = -1;
    if (::close(fd) != 0) throw std::system_error(errno, std::generic_category(), "close readiness marker");
  } catch (...) {
    ::unlinkat(folder.fd, name.c_str(), 0);
    throw;
  }
  return true;
}

void UpdateLaunchHandshake::completeAtStartup(const Paths& paths, const std::string& version, WallTime now) {
  Environment environment;
  const std::string key(RelaunchScript::kMarkerVariable);
  if (const char* value = std::getenv(key.c_str())) environment.emplace(key, value);
  try {
    if (signalIfRequested(environment, updatesDirectory(paths), version, ::getpid(), now)) {
      logLine("Quorvin replacement app completed its update startup handshake");
    }
  } catch (const std::exception& error) {
    logLine(std::string("Quorvin update startup handshake failed: ") + error.what());
  }
  // A later update's relaunch script (and the copy it restores) must not see a stale marker path.
  ::unsetenv(key.c_str());
}

}  // namespace quorvin
