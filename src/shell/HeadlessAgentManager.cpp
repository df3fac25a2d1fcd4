#include "shell/HeadlessAgentManager.h"

#include <signal.h>
#include <unistd.h>

#include <charconv>

#include "shell/HostTool.h"

namespace quorvin::HeadlessAgentManager {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t'; }

std::string_view skipSpace(std::string_view text) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  return text;
}

std::string_view takeWord(std::string_view& text) {
  text = skipSpace(text);
  std::size_t end = 0;
  while (end < text.size() && !isSpace(text[end])) ++end;
  const auto word = text.substr(0, end);
  text.remove_prefix(end);
  return word;
}

template <typename Number>
bool parse(std::string_view word, Number& value) {
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
  return error == std::errc() && end == word.data() + word.size() && !word.empty();
}

}  // namespace

std::filesystem::path agentScript(const Paths& paths) { return paths.home / ".local/share/quorvin/quorvin-agent.mjs"; }
std::filesystem::path unitFile(const Paths& paths) { return paths.configHome / "systemd/user" / kUnit; }

std::vector<pid_t> matchingProcessIDs(std::string_view listing, std::uint32_t uid, std::string_view agentPath) {
  std::vector<pid_t> found;
  const std::string expected = std::string(agentPath) + " run --watch";
  while (!listing.empty()) {
    const std::size_t end = listing.find('\n');
    std::string_view line = listing.substr(0, end);
    listing.remove_prefix(end == std::string_view::npos ? listing.size() : end + 1);
    pid_t pid = 0;
    std::uint32_t owner = 0;
    if (!parse(takeWord(line), pid) || !parse(takeWord(line), owner) || owner != uid) continue;
    // Only real process ids: kill() takes 0 and negative ids as whole process groups.
    if (pid <= 0) continue;
    std::string_view command = skipSpace(line);
    if (!command.empty() && command.back() == '\r') command.remove_suffix(1);
    const std::string_view program = takeWord(command);
    const std::size_t slash = program.rfind('/');
    const std::string_view programName = slash == std::string_view::npos ? program : program.substr(slash + 1);
    if (programName != "node" || command.empty() || command.front() != ' ') continue;
    command.remove_prefix(1);
    if (command == expected) found.push_back(pid);
  }
  return found;
}

void disableCanonicalCLI(const Paths& paths) {
  runHostTool({"systemctl", "--user", "stop", kUnit});
  runHostTool({"systemctl", "--user", "disable", kUnit});
  std::error_code ignored;
  std::filesystem::remove(unitFile(paths), ignored);
  const auto listing = runHostTool({"ps", "-axo", "pid=,uid=,command="}, true);
  if (!listing.exitStatus || listing.output.empty()) return;
  for (pid_t pid : matchingProcessIDs(listing.output, ::getuid(), agentScript(paths).string())) {
    if (pid != ::getpid()) ::kill(pid, SIGTERM);
  }
}

}  // namespace quorvin::HeadlessAgentManager
