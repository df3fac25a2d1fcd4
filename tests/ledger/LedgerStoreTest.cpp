#include <gtest/gtest.h>

#include "ledger/LedgerHistory.h"
#include "usage/SqliteWriter.h"

namespace quorvin {
namespace {

using test::agentSum;
using test::LedgerHistory;
using test::SqliteWriter;

// 2026-03-04 and 2026-04-02, as OpenCode's millisecond update times.
constexpr long long kMarch = 1'772'600'000'000;
constexpr long long kApril = 1'775'100'000'000;

std::string openCodeData(long long input, long long output) {
  return R"({"modelID":"claude-sonnet-4-5","tokens":{"input":)" + std::to_string(input) + R"(,"output":)" +
         std::to_string(output) + R"(,"reasoning":0,"cache":{"read":0,"write":0}}})";
}

// The agents that keep their history in stores count what the stores hold now: a record
// updated in place replaces its old figures rather than adding to them.
TEST(LedgerStores, OpenCodeHermesAndDroidCountWhatTheirStoresHoldNow) {
  LedgerHistory history;
  history.addClaude("a", 1, 20'000);
  const auto openCodePath = history.home / ".local/share/opencode/opencode.db";
  std::filesystem::create_directories(openCodePath.parent_path());
  SqliteWriter openCode(openCodePath.string());
  openCode.exec("CREATE TABLE message (id TEXT PRIMARY KEY, session_id TEXT, time_created INTEGER, "
                "time_updated INTEGER, data TEXT)");
  const auto putMessage = [&openCode](const char* id, long long updated, long long input, long long output) {
    openCode.run("INSERT INTO message VALUES (?, 's', ?, ?, ?) ON CONFLICT(id) DO UPDATE SET "
                 "time_updated = excluded.time_updated, data = excluded.data",
                 std::string(id), updated, updated, openCodeData(input, output));
  };
  putMessage("m1", kMarch, 100, 20);
  putMessage("m2", kApril, 50, 5);
  const auto hermesPath = history.home / ".hermes/profiles/work/state.db";
  std::filesystem::create_directories(hermesPath.parent_path());
  SqliteWriter hermes(hermesPath.string());
  hermes.exec("CREATE TABLE sessions (id TEXT PRIMARY KEY, model TEXT, input_tokens INTEGER, output_tokens INTEGER, "
              "cache_read_tokens INTEGER, cache_write_tokens INTEGER, reasoning_tokens INTEGER)");
  hermes.exec("INSERT INTO sessions VALUES ('s1', 'kimi-k2', 40, 10, 0, 0, 5), ('s2', NULL, 1000, 1000, 0, 0, 0)");
  const auto droid = history.home / ".factory/sessions/p/one.settings.json";
  test::writeFile(droid, R"({"model":"gpt-5-codex","tokenUsage":{"inputTokens":7,"outputTokens":3}})");

  auto result = ledger::refreshLedger(history.options());
  EXPECT_EQ(agentSum(result.cells, "claude"), history.claude.counters);
  EXPECT_EQ(agentSum(result.cells, "opencode", "2026-03"), (UsageCounters{100, 20, 0, 0}));
  EXPECT_EQ(agentSum(result.cells, "opencode", "2026-04"), (UsageCounters{50, 5, 0, 0}));
  EXPECT_EQ(agentSum(result.cells, "hermes"), (UsageCounters{40, 15, 0, 0}));  // a session without a model is not counted
  EXPECT_EQ(agentSum(result.cells, "droid"), (UsageCounters{7, 3, 0, 0}));
  const auto before = result.cells;
  EXPECT_EQ(ledger::refreshLedger(history.options()).cells, before);

  // A streaming message grows, a session goes on, a Droid session adds to its totals.
  putMessage("m2", kApril, 50, 30);
  hermes.exec("UPDATE sessions SET output_tokens = 20 WHERE id = 's1'");
  test::writeFile(droid, R"({"model":"gpt-5-codex","tokenUsage":{"inputTokens":9,"outputTokens":4}})");
  test::setModified(droid, 1'775'000'000);
  result = ledger::refreshLedger(history.options());
  EXPECT_EQ(agentSum(result.cells, "opencode", "2026-04"), (UsageCounters{50, 30, 0, 0}));
  EXPECT_EQ(agentSum(result.cells, "hermes"), (UsageCounters{40, 25, 0, 0}));
  EXPECT_EQ(agentSum(result.cells, "droid"), (UsageCounters{9, 4, 0, 0}));
  EXPECT_EQ(agentSum(result.cells, "claude"), history.claude.counters);

  // A file named like a store that is not one counts nothing and spoils nothing.
  test::writeFile(history.home / ".local/share/opencode/opencode-2.db", "not a database");
  EXPECT_EQ(agentSum(ledger::refreshLedger(history.options()).cells, "opencode"), (UsageCounters{150, 50, 0, 0}));
}

}  // namespace
}  // namespace quorvin
