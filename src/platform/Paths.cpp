#include "platform/Paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace quorvin {

namespace fs = std::filesystem;

namespace {

std::optional<fs::path> absoluteVariable(const Paths::Environment& environment, std::string_view name) {
  auto value = environment(name);
  if (!value || value->empty() || (*value)[0] != '/') return std::nullopt;
  return fs::path(*value);
}

fs::path homeFromPasswordDatabase() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* result = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result && result->pw_dir &&
      result->pw_dir[0] == '/') {
    return fs::path(result->pw_dir);
  }
  return fs::path("/");
}

}  // namespace

Paths Paths::fromEnvironment() {
  return resolve([](std::string_view name) -> std::optional<std::string> {
    const char* value = std::getenv(std::string(name).c_str());
    if (!value) return std::nullopt;
    return std::string(value);
  });
}

Paths Paths::resolve(const Environment& environment) {
  Paths paths;
  paths.home = absoluteVariable(environment, "HOME").value_or(homeFromPasswordDatabase());
  paths.configHome = absoluteVariable(environment, "XDG_CONFIG_HOME").value_or(paths.home / ".config");
  paths.dataHome = absoluteVariable(environment, "XDG_DATA_HOME").value_or(paths.home / ".local" / "share");
  paths.runtimeDir = absoluteVariable(environment, "XDG_RUNTIME_DIR");
  return paths;
}

std::optional<fs::path> Paths::appRuntimeDir() const {
  if (!runtimeDir) return std::nullopt;
  return *runtimeDir / "quorvin";
}

bool ensurePrivateDirectory(const fs::path& dir) {
  if (dir.empty()) return false;
  struct stat info {};
  if (lstat(dir.c_str(), &info) == 0) {
    if (!S_ISDIR(info.st_mode)) return false;
    if (info.st_uid == geteuid() && (info.st_mode & 077) != 0) chmod(dir.c_str(), 0700);
    return true;
  }
  if (errno != ENOENT) return false;
  if (dir.has_parent_path() && dir.parent_path() != dir) {
    // Parents such as ~/.config are shared folders: create them with the usual mode.
    std::error_code ignored;
    fs::create_directories(dir.parent_path(), ignored);
  }
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  return lstat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace quorvin
