#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvin::CcusageCommand {

// The one ccusage release the reconciliation runs (the newest with a linux-x64 build).
inline constexpr std::string_view kVersion = "20.0.24";

// A word for a POSIX shell: single quotes, each ' written as '\''.
std::string shellQuoted(std::string_view argument);

// The login-shell script: bunx when present, else npx, both pinned to kVersion, with
// standard error discarded.
std::string script(const std::vector<std::string>& arguments);

// <prefix>/libexec/quorvin/ccusage for a program installed as <prefix>/bin/quorvin.
std::filesystem::path bundledTool(const std::filesystem::path& runningExecutable);

// The user's login shell from the password database when it understands the script's
// POSIX syntax; /bin/sh otherwise.
std::string loginShell();

// The full command line: the bundled tool with the arguments when it exists and is
// executable, otherwise the shell with "-lc" and the script.
std::vector<std::string> commandLine(const std::vector<std::string>& arguments,
                                     const std::optional<std::filesystem::path>& bundled, const std::string& shell);

}  // namespace quorvin::CcusageCommand
