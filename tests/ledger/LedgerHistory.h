#pragma once

#include <filesystem>
#include <string>

#include "corpus/LogCorpus.h"
#include "ledger/LedgerRefresh.h"
#include "support/TempFolder.h"

namespace quorvin::test {

// A home directory with generated Claude Code and Codex histories and their exact sums.
struct LedgerHistory {
  TempFolder home;
  bench::GroundTruth claude;
  bench::GroundTruth codex;

  std::filesystem::path claudeLog(const std::string& name) const {
    return home / (".claude/projects/project/" + name + ".jsonl");
  }
  std::filesystem::path codexLog(const std::string& name) const {
    return home / (".codex/sessions/2026/03/01/rollout-" + name + ".jsonl");
  }

  void addClaude(const std::string& name, uint64_t seed, size_t bytes) {
    bench::ClaudeSessionGenerator generator(seed, WallTime{} + std::chrono::hours(24 * 20500));
    std::string text;
    generator.append(text, bytes);
    appendFile(claudeLog(name), text);
    claude += generator.truth();
  }
  void addCodex(const std::string& name, uint64_t seed, size_t bytes, bool fork) {
    bench::CodexSessionGenerator generator(seed, WallTime{} + std::chrono::hours(24 * 20500), fork);
    std::string text;
    generator.append(text, bytes);
    appendFile(codexLog(name), text);
    codex += generator.truth();
  }

  ledger::RefreshOptions options(unsigned threads = 2) const {
    ledger::RefreshOptions options = ledger::refreshOptionsFor(home.path(), LiveUsageOracle::Environment{});
    options.threads = threads;
    return options;
  }
};

// Sum of the cells of one agent.
inline UsageCounters agentSum(const ledger::Cells& cells, std::string_view agent) {
  UsageCounters sum;
  for (const auto& [key, counters] : cells) {
    if (std::get<1>(key) == agent) sum += counters;
  }
  return sum;
}

}  // namespace quorvin::test
