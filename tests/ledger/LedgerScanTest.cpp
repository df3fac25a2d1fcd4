#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "ledger/LedgerHistory.h"
#include "ledger/LedgerScanner.h"

namespace quorvin {
namespace {

using ledger::Cells;
using test::agentSum;
using test::appendFile;
using test::claudeLine;
using test::LedgerHistory;

// Reads every log under the home with the given thread count and file order.
Cells scan(const LedgerHistory& history, unsigned threads, bool reversed, std::optional<ledger::Day> since = {}) {
  std::vector<std::unique_ptr<ledger::ScannedFile>> files;
  for (auto& [path, source] : ledger::discoverLogs(history.options().roots)) {
    auto file = std::make_unique<ledger::ScannedFile>();
    file->path = path;
    file->tally.source = source;
    files.push_back(std::move(file));
  }
  if (reversed) std::reverse(files.begin(), files.end());
  std::vector<ledger::ScannedFile*> work;
  for (auto& file : files) work.push_back(file.get());
  ledger::scanFiles(work, threads);
  std::vector<const ledger::LogFileTally*> tallies;
  for (auto& file : files) tallies.push_back(&file->tally);
  return ledger::mergeTallies(tallies, since);
}

TEST(LedgerScan, GeneratedHistoriesSumToTheirGroundTruthForAnyThreadCountAndFileOrder) {
  LedgerHistory history;
  for (int i = 0; i < 4; ++i) history.addClaude("session-" + std::to_string(i), 100 + i, 300'000);
  history.addCodex("a", 7, 200'000, false);
  history.addCodex("b", 8, 200'000, true);  // a fork replays its parent's counters
  // A resumed session: the rollout grows in a second sitting.
  bench::CodexSessionGenerator resumed(9, WallTime{} + std::chrono::hours(24 * 20501), false);
  std::string text;
  resumed.append(text, 150'000);
  appendFile(history.codexLog("c"), text);
  history.codex += resumed.truth();

  const Cells one = scan(history, 1, false);
  EXPECT_EQ(agentSum(one, "claude"), history.claude.counters);
  EXPECT_EQ(agentSum(one, "codex"), history.codex.counters);
  EXPECT_EQ(scan(history, 2, false), one);
  EXPECT_EQ(scan(history, 2, true), one);
  EXPECT_EQ(scan(history, 1, true), one);
}

TEST(LedgerScan, AClaudeMessageInSeveralFilesCountsOnceByItsLargestReportOnItsFirstDay) {
  LedgerHistory history;
  // Streaming snapshots in one file, the final report in the resumed session's file, and
  // an older copy of the snapshot replayed after it.
  appendFile(history.claudeLog("first"),
             claudeLine("m1", 10, "2026-01-31T10:00:00.000Z") + claudeLine("m1", 40, "2026-01-31T10:00:01.000Z"));
  appendFile(history.claudeLog("resumed"),
             claudeLine("m1", 50, "2026-02-02T09:00:00.000Z") + claudeLine("m1", 10, "2026-02-02T09:00:01.000Z") +
                 claudeLine("m2", 5, "2026-02-02T09:00:02.000Z", "claude-opus-4-1"));
  for (bool reversed : {false, true}) {
    const Cells cells = scan(history, 2, reversed);
    ASSERT_EQ(cells.size(), 2u);
    EXPECT_EQ(cells.at({"2026-01", "claude", "claude-sonnet-4-5"}), (UsageCounters{3, 50, 100, 7}));
    EXPECT_EQ(cells.at({"2026-02", "claude", "claude-opus-4-1"}), (UsageCounters{3, 5, 100, 7}));
  }
  // From a day on: the message first seen before it is left out, even though its largest
  // report came later.
  const auto february = ledger::localDay(
      std::chrono::duration_cast<std::chrono::seconds>(
          (std::chrono::sys_days{std::chrono::year{2026} / 2 / 1} + std::chrono::hours(12)).time_since_epoch())
          .count());
  const Cells since = scan(history, 2, false, february);
  ASSERT_EQ(since.size(), 1u);
  EXPECT_EQ(since.begin()->second.output, 5);
}

// A tool input may hold an integer beyond 64 bits; the line is still one report of its
// message, on its own day, not an anonymous line counted each time it repeats.
TEST(LedgerScan, ALineWithAnOversizedNumberKeepsItsMessageAndDay) {
  LedgerHistory history;
  std::string line = claudeLine("big", 8, "2026-01-31T10:00:00.000Z");
  line.insert(1, R"("toolInput":100000000000000000000,)");
  appendFile(history.claudeLog("big"), line + line);
  const Cells cells = scan(history, 1, false);
  ASSERT_EQ(cells.size(), 1u);
  EXPECT_EQ(cells.at({"2026-01", "claude", "claude-sonnet-4-5"}), (UsageCounters{3, 8, 100, 7}));
}

TEST(LedgerScan, APartialLastLineWaitsForItsLineBreak) {
  LedgerHistory history;
  const std::string line = claudeLine("m", 9, "2026-01-31T12:00:00.000Z");
  appendFile(history.claudeLog("p"), line.substr(0, line.size() / 2));
  ledger::ScannedFile file;
  file.path = history.claudeLog("p").string();
  std::vector<ledger::ScannedFile*> work{&file};
  ledger::scanFiles(work, 1);
  EXPECT_EQ(file.tally.consumed, 0u);
  appendFile(history.claudeLog("p"), line.substr(line.size() / 2));
  ledger::scanFiles(work, 1);
  EXPECT_EQ(file.tally.consumed, line.size());
  EXPECT_EQ(ledger::mergeTallies({&file.tally}).begin()->second.output, 9);
}

}  // namespace
}  // namespace quorvin
