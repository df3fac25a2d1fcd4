// Where each agent writes its logs and which files of a log folder are usage logs.
#include <cstdlib>

#include "usage/LiveUsageOracle.h"

namespace quorvin {

namespace fs = std::filesystem;

namespace {

std::optional<std::string> environmentValue(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) return std::nullopt;
  return std::string(value);
}

std::string standardized(const fs::path& path) {
  std::string text = path.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

}  // namespace

LiveUsageOracle::Environment LiveUsageOracle::Environment::current() {
  return {environmentValue("XDG_CONFIG_HOME"), environmentValue("CLAUDE_CONFIG_DIR"), environmentValue("CODEX_HOME")};
}

std::vector<LiveUsageOracle::Root> LiveUsageOracle::rootsFor(const fs::path& home, const Environment& environment) {
  std::vector<Root> roots;
  auto add = [&](const fs::path& directory, UsageSource source) {
    // Relative settings would depend on the working directory; ignore them.
    if (!directory.is_absolute()) return;
    std::string path = standardized(directory);
    for (const auto& root : roots) {
      if (root.path == path) return;
    }
    roots.push_back({std::move(path), source});
  };

  add(home / ".claude/projects", UsageSource::claude);
  fs::path configHome =
      environment.xdgConfigHome && fs::path(*environment.xdgConfigHome).is_absolute() ? fs::path(*environment.xdgConfigHome)
                                                                                      : home / ".config";
  add(configHome / "claude/projects", UsageSource::claude);
  if (environment.claudeConfigDir) {
    std::string_view list = *environment.claudeConfigDir;
    while (!list.empty()) {
      size_t comma = list.find(',');
      std::string_view entry = list.substr(0, comma);
      while (!entry.empty() && entry.front() == ' ') entry.remove_prefix(1);
      while (!entry.empty() && entry.back() == ' ') entry.remove_suffix(1);
      if (!entry.empty()) add(fs::path(entry) / "projects", UsageSource::claude);
      if (comma == std::string_view::npos) break;
      list.remove_prefix(comma + 1);
    }
  }
  add(home / ".codex/sessions", UsageSource::codex);
  if (environment.codexHome) add(fs::path(*environment.codexHome) / "sessions", UsageSource::codex);
  add(home / ".kimi/sessions", UsageSource::kimi);
  add(home / ".grok/logs", UsageSource::grok);
  add(home / ".gemini/tmp", UsageSource::gemini);
  add(home / ".openclaw", UsageSource::openclaw);
  add(home / ".clawdbot", UsageSource::openclaw);
  add(home / ".moltbot", UsageSource::openclaw);
  add(home / ".moldbot", UsageSource::openclaw);
  return roots;
}

bool LiveUsageOracle::passesNameFilter(UsageSource source, std::string_view name) noexcept {
  switch (source) {
    case UsageSource::claude:
    case UsageSource::codex:
    case UsageSource::gemini:
      // The extension is exactly "jsonl": a name that is only ".jsonl" has none.
      return name.size() > 6 && name.ends_with(".jsonl");
    case UsageSource::kimi: return name == "wire.jsonl";
    case UsageSource::grok:
    case UsageSource::openclaw: return name.find(".jsonl") != std::string_view::npos;
  }
  return false;
}

}  // namespace quorvin
