#include "shell/SecondInstancePolicy.h"

#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

namespace quorvin::SecondInstancePolicy {

namespace {

constexpr std::size_t kMaxProcFileBytes = 64 * 1024;

std::optional<std::string> readSmall(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text(kMaxProcFileBytes, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

std::optional<pid_t> parsePid(std::string_view text) {
  pid_t pid = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), pid);
  if (error != std::errc() || end != text.data() + text.size() || pid <= 0) return std::nullopt;
  return pid;
}

}  // namespace

bool hasEarlierInstance(const Instance& current, const std::vector<Instance>& others) {
  for (const Instance& other : others) {
    if (current.launchedAt && other.launchedAt && *current.launchedAt != *other.launchedAt) {
      if (*other.launchedAt < *current.launchedAt) return true;
    } else if (other.processIdentifier < current.processIdentifier) {
      return true;
    }
  }
  return false;
}

bool isApplicationCommandLine(std::string_view commandLine) {
  // Skip the program itself, then every argument must be an option.
  std::size_t at = commandLine.find('\0');
  if (at == std::string_view::npos) return true;
  ++at;
  while (at < commandLine.size()) {
    std::size_t end = commandLine.find('\0', at);
    if (end == std::string_view::npos) end = commandLine.size();
    const std::string_view argument = commandLine.substr(at, end - at);
    if (!argument.empty() && argument.front() != '-') return false;
    at = end + 1;
  }
  return true;
}

std::optional<std::uint64_t> launchTicks(std::string_view statLine) {
  const std::size_t close = statLine.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  // After the command name: field 3 (state) onward; the start time is field 22.
  std::istringstream fields{std::string(statLine.substr(close + 1))};
  std::string field;
  for (int index = 3; index <= 22; ++index) {
    if (!(fields >> field)) return std::nullopt;
  }
  std::uint64_t ticks = 0;
  const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), ticks);
  if (error != std::errc() || end != field.data() + field.size()) return std::nullopt;
  return ticks;
}

Instance currentInstance() {
  Instance instance;
  instance.processIdentifier = ::getpid();
  if (auto stat = readSmall("/proc/self/stat")) instance.launchedAt = launchTicks(*stat);
  return instance;
}

std::vector<Instance> otherInstances(const std::filesystem::path& executable, const std::filesystem::path& procRoot) {
  std::vector<Instance> found;
  std::error_code error;
  const std::filesystem::path target = std::filesystem::weakly_canonical(executable, error);
  const pid_t self = ::getpid();
  const uid_t uid = ::getuid();
  for (std::filesystem::directory_iterator it(procRoot, error), end; !error && it != end; it.increment(error)) {
    const auto pid = parsePid(it->path().filename().native());
    if (!pid || *pid == self) continue;
    struct stat info {};
    if (::stat(it->path().c_str(), &info) != 0 || info.st_uid != uid) continue;
    std::error_code linkError;
    const auto exe = std::filesystem::read_symlink(it->path() / "exe", linkError);
    if (linkError || exe != target) continue;
    const auto commandLine = readSmall(it->path() / "cmdline");
    if (!commandLine || !isApplicationCommandLine(*commandLine)) continue;
    Instance instance;
    instance.processIdentifier = *pid;
    if (auto stat = readSmall(it->path() / "stat")) instance.launchedAt = launchTicks(*stat);
    found.push_back(instance);
  }
  return found;
}

}  // namespace quorvin::SecondInstancePolicy
