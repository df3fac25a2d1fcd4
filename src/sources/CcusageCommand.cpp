#include "sources/CcusageCommand.h"

#include <pwd.h>
#include <unistd.h>

#include <array>

namespace quorvin::CcusageCommand {

std::string shellQuoted(std::string_view argument) {
  std::string out = "'";
  for (char c : argument) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out.push_back(c);
    }
  }
  out.push_back('\'');
  return out;
}

std::string script(const std::vector<std::string>& arguments) {
  std::string text;
  for (const auto& argument : arguments) {
    if (!text.empty()) text.push_back(' ');
    text += shellQuoted(argument);
  }
  const std::string version(kVersion);
  return "export PATH=\"$HOME/.bun/bin:/home/linuxbrew/.linuxbrew/bin:/usr/local/bin:$PATH\"\n"
         "if command -v bunx >/dev/null 2>&1; then\n"
         "  exec bunx --bun ccusage@" + version + " " + text + " 2>/dev/null\n"
         "else\n"
         "  exec npx -y ccusage@" + version + " " + text + " 2>/dev/null\n"
         "fi";
}

std::filesystem::path bundledTool(const std::filesystem::path& runningExecutable) {
  return runningExecutable.parent_path().parent_path() / "libexec" / "quorvin" / "ccusage";
}

std::string loginShell() {
  static constexpr std::array<std::string_view, 8> kPosixShells = {"sh", "bash", "zsh", "dash", "ksh", "mksh", "ash", "yash"};
  const struct passwd* entry = ::getpwuid(::getuid());
  if (entry != nullptr && entry->pw_shell != nullptr && entry->pw_shell[0] == '/') {
    const std::filesystem::path shell(entry->pw_shell);
    const std::string name = shell.filename().string();
    for (auto known : kPosixShells) {
      if (name == known && ::access(shell.c_str(), X_OK) == 0) return shell.string();
    }
  }
  return "/bin/sh";
}

std::vector<std::string> commandLine(const std::vector<std::string>& arguments,
                                     const std::optional<std::filesystem::path>& bundled, const std::string& shell) {
  if (bundled && ::access(bundled->c_str(), X_OK) == 0) {
    std::vector<std::string> argv{bundled->string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
  }
  return {shell, "-lc", script(arguments)};
}

}  // namespace quorvin::CcusageCommand
