#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

#include "platform/Paths.h"

namespace quorvin {

// Retires the old command-line agent (a Node.js script kept alive by a systemd --user unit):
// two collectors at once would count usage twice. Stops and disables the unit, deletes its
// file and ends the agent's processes of this user. Never installs or starts anything, and
// nothing here can stop start-up.
namespace HeadlessAgentManager {

inline constexpr const char* kUnit = "app.quorvin.cli-agent.service";

std::filesystem::path agentScript(const Paths& paths);
std::filesystem::path unitFile(const Paths& paths);

void disableCanonicalCLI(const Paths& paths);

// The ids in a `ps -axo pid=,uid=,command=` listing of `uid`'s processes that run
// "node <agentPath> run --watch", in listing order.
std::vector<pid_t> matchingProcessIDs(std::string_view listing, std::uint32_t uid, std::string_view agentPath);

}  // namespace HeadlessAgentManager

}  // namespace quorvin
