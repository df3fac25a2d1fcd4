#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace quorvin {

// The earlier-instance rule: a copy launched later than another running copy of the
// application (the tray or --headless, one per user) exits at once.
namespace SecondInstancePolicy {

struct Instance {
  // Launch time in clock ticks since boot (every process of the machine shares the boot);
  // none when unknown.
  std::optional<std::uint64_t> launchedAt;
  pid_t processIdentifier = 0;
  bool operator==(const Instance&) const = default;
};

// True when one of `others` was launched earlier: by launch time when both are known and
// differ, else by the lower process id.
bool hasEarlierInstance(const Instance& current, const std::vector<Instance>& others);

// Whether a command line (NUL-separated, as /proc/PID/cmdline holds it) runs the application
// itself rather than a subcommand such as `quorvin status`: no argument, or options only.
bool isApplicationCommandLine(std::string_view commandLine);

// This process, with its launch time from /proc.
Instance currentInstance();

// The other processes of this user that run `executable` as the application, read from
// `procRoot` (normally /proc), in the order the folder lists them.
std::vector<Instance> otherInstances(const std::filesystem::path& executable, const std::filesystem::path& procRoot = "/proc");

// Launch time of a process from its /proc/PID/stat line (the command name may hold spaces
// and parentheses); none when the line is malformed.
std::optional<std::uint64_t> launchTicks(std::string_view statLine);

}  // namespace SecondInstancePolicy

}  // namespace quorvin
