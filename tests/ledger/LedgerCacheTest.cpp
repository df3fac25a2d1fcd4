#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "ledger/LedgerCache.h"
#include "ledger/LedgerHistory.h"

namespace quorvin {
namespace {

using test::agentSum;
using test::appendFile;
using test::claudeLine;
using test::LedgerHistory;

void expectTruth(const ledger::RefreshResult& result, const LedgerHistory& history) {
  EXPECT_EQ(agentSum(result.cells, "claude"), history.claude.counters);
  EXPECT_EQ(agentSum(result.cells, "codex"), history.codex.counters);
}

// What a run without the cache would find: the incremental runs must agree with it cell for cell.
ledger::Cells coldCells(const LedgerHistory& history) {
  auto options = history.options();
  options.cachePath.clear();
  return ledger::refreshLedger(options).cells;
}

TEST(LedgerCache, ARepeatRunReadsOnlyWhatWasAppendedAndAgreesWithAColdRun) {
  LedgerHistory history;
  history.addClaude("a", 1, 200'000);
  // Large enough that a later run writes its messages back from the mapped cache, unread.
  history.addClaude("b", 4, 3'000'000);
  history.addCodex("x", 2, 200'000, false);
  expectTruth(ledger::refreshLedger(history.options()), history);

  const auto unchanged = ledger::refreshLedger(history.options());
  EXPECT_EQ(unchanged.bytesRead, 0u);
  EXPECT_EQ(unchanged.cells, coldCells(history));
  expectTruth(unchanged, history);

  // Appending to a log continues its session: the Codex counter goes on from where it was.
  const auto sizeBefore = std::filesystem::file_size(history.claudeLog("a"));
  history.addClaude("a", 3, 50'000);
  const auto appended = ledger::refreshLedger(history.options(1));
  EXPECT_EQ(appended.bytesRead, std::filesystem::file_size(history.claudeLog("a")) - sizeBefore);
  expectTruth(appended, history);
  EXPECT_EQ(appended.cells, coldCells(history));

  // A report from a day on, from the cache alone, is the cold run's too.
  auto since = history.options();
  since.reportSince = 20'501;
  const auto narrowed = ledger::refreshLedger(since);
  since.cachePath.clear();
  EXPECT_EQ(narrowed.report, ledger::refreshLedger(since).report);
  EXPECT_NE(narrowed.report, narrowed.cells);

  // A log deleted after it was counted keeps counting: agents prune old sessions.
  std::filesystem::remove(history.claudeLog("b"));
  expectTruth(ledger::refreshLedger(history.options()), history);
}

TEST(LedgerCache, RewrittenAndTruncatedLogsAreReadAgainFromTheStart) {
  LedgerHistory history;
  history.addClaude("a", 1, 100'000);
  history.addClaude("b", 2, 100'000);
  ledger::refreshLedger(history.options());
  // Rewritten in place with other content, no shorter: the bytes before the read position
  // changed, so the old tally is void. Then truncated to nothing and written anew.
  for (const auto& [seed, bytes] : {std::pair{9, 120'000}, std::pair{11, 20'000}}) {
    SCOPED_TRACE(seed);
    std::string text;
    bench::ClaudeSessionGenerator(seed, WallTime{} + std::chrono::hours(24 * 20500)).append(text, bytes);
    std::filesystem::resize_file(history.claudeLog("b"), 0);
    appendFile(history.claudeLog("b"), text);
    EXPECT_EQ(ledger::refreshLedger(history.options()).cells, coldCells(history));
  }
}

TEST(LedgerCache, AClaudeMessageContinuedInAnotherFileOnALaterRunCountsOnce) {
  LedgerHistory history;
  appendFile(history.claudeLog("first"), claudeLine("m", 10));
  ledger::refreshLedger(history.options());
  appendFile(history.claudeLog("second"), claudeLine("m", 30) + claudeLine("m", 10));
  const auto result = ledger::refreshLedger(history.options());
  EXPECT_EQ(agentSum(result.cells, "claude"), (UsageCounters{3, 30, 100, 7}));
}

TEST(LedgerCache, ADamagedForeignOrOlderCacheIsIgnoredAndRebuilt) {
  LedgerHistory history;
  history.addClaude("a", 1, 100'000);
  history.addCodex("x", 2, 100'000, true);
  const auto options = history.options();
  ledger::refreshLedger(options);
  std::ifstream stream(options.cachePath, std::ios::binary);
  const std::string good{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
  ASSERT_TRUE(ledger::LedgerCache::decode(good));

  std::string flipped = good;
  flipped[flipped.size() / 2] ^= 0x40;
  std::string older = good;
  older[8] = static_cast<char>(ledger::LedgerCache::kVersion + 1);
  for (const std::string& bad : {flipped, older, good.substr(0, good.size() - 1), std::string("{\"files\":[]}"),
                                 std::string()}) {
    EXPECT_FALSE(ledger::LedgerCache::decode(bad));
    std::ofstream(options.cachePath, std::ios::binary | std::ios::trunc) << bad;
    const auto rebuilt = ledger::refreshLedger(options);
    EXPECT_GT(rebuilt.bytesRead, 0u);
    expectTruth(rebuilt, history);
  }
  // A cache damaged in a way the checksum cannot see still decodes only what is sound.
  std::string lying = good;
  lying.replace(20, 8, std::string(8, '\xff'));  // an absurd record count
  EXPECT_FALSE(ledger::LedgerCache::decode(lying));
}

}  // namespace
}  // namespace quorvin
