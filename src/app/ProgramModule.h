#pragma once

#include <filesystem>
#include <optional>
#include <vector>

namespace quorvin::app {

inline constexpr const char* kProgramDescription = "Quorvin: live token usage and cost of AI coding agents";
inline constexpr const char* kProgramModuleName = "libquorvin-program.so";
inline constexpr const char* kProgramEntryName = "quorvin_program_main";

// Where the program module may be, in order: an installed tree's <prefix>/lib/quorvin beside
// <prefix>/bin, then the executable's own folder (the build tree).
std::vector<std::filesystem::path> programModuleCandidates(const std::filesystem::path& executable);

// A module file is loaded only when it is a regular file that no one but its owner can change,
// and that owner is root, this user or the owner of the executable.
bool isTrustedModule(const std::filesystem::path& module, const std::filesystem::path& executable);

// Loads the module and hands it the command line; prints a sentence and returns 2 when it is
// missing, unsafe or broken.
int runProgramModule(int argc, char** argv);

}  // namespace quorvin::app
