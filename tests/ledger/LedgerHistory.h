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

// Sum of the cells of one agent (in one month, when given).
inline UsageCounters agentSum(const ledger::Cells& cells, std::string_view agent, std::string_view month = {}) {
  UsageCounters sum;
  for (const auto& [key, counters] : cells) {
    if (std::get<1>(key) == agent && (month.empty() || std::get<0>(key) == month)) sum += counters;
  }
  return sum;
}

// One Claude Code report of a message.
inline std::string claudeLine(const std::string& id, int output, const std::string& timestamp = "2026-02-02T09:00:00.000Z",
                              const std::string& model = "claude-sonnet-4-5") {
  return R"({"type":"assistant","timestamp":")" + timestamp + R"(","requestId":"r-)" + id +
         R"(","message":{"id":")" + id + R"(","model":")" + model +
         R"(","usage":{"input_tokens":3,"output_tokens":)" + std::to_string(output) +
         R"(,"cache_read_input_tokens":100,"cache_creation_input_tokens":7}}})" + "\n";
}

}  // namespace quorvin::test
