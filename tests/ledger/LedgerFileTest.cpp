#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ledger/LedgerDocument.h"
#include "ledger/LedgerHistory.h"
#include "sources/TokensLedger.h"
#include "support/ProgramRun.h"

namespace quorvin {
namespace {

using test::LedgerHistory;

TEST(LedgerFile, TheReconciliationReadsBackTheGroundTruthModelsAndAgents) {
  LedgerHistory history;
  history.addClaude("one", 1, 200'000);
  history.addClaude("two", 2, 200'000);
  history.addCodex("x", 3, 200'000, false);
  const auto options = history.options();
  const auto result = ledger::refreshLedger(options);
  ASSERT_TRUE(result.written);

  // The folder and both files are the user's alone, including a folder an older version
  // created open to everyone.
  const auto modeOf = [](const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0u;
  };
  EXPECT_EQ(modeOf(options.ledgerPath), 0600u);
  EXPECT_EQ(modeOf(options.cachePath), 0600u);
  EXPECT_EQ(modeOf(options.ledgerPath.parent_path()), 0700u);
  ::chmod(options.ledgerPath.parent_path().c_str(), 0755);
  history.addClaude("three", 4, 10'000);
  ASSERT_TRUE(ledger::refreshLedger(options).written);
  EXPECT_EQ(modeOf(options.ledgerPath.parent_path()), 0700u);

  const auto totals = TokensLedger::parse(options.ledgerPath);
  ASSERT_TRUE(totals);
  const UsageCounters all = history.claude.counters + history.codex.counters;
  EXPECT_EQ(totals->total, all.total());
  EXPECT_EQ(totals->input, all.input);
  EXPECT_EQ(totals->output, all.output);
  EXPECT_EQ(totals->cacheRead, all.cacheRead);
  EXPECT_EQ(totals->cacheWrite, all.cacheWrite);
  EXPECT_GT(totals->cost, 0);
  ASSERT_EQ(totals->agents.size(), 2u);
  int64_t agentTokens = 0;
  for (const auto& agent : totals->agents) agentTokens += agent.tokens;
  EXPECT_EQ(agentTokens, all.total());
  int64_t modelTokens = 0;
  double modelCost = 0;
  for (const auto& model : totals->models) {
    modelTokens += model.input + model.output + model.cacheRead + model.cacheWrite;
    modelCost += model.cost;
  }
  EXPECT_EQ(modelTokens, all.total());
  EXPECT_NEAR(modelCost, totals->cost, 1e-6 * totals->cost);
}

// The command as a user runs it: the ledger written where the reconciliation looks, and a
// date it cannot read refused before anything is written.
TEST(LedgerFile, TheCommandWritesTheLedgerUnderTheHomeItIsGiven) {
  LedgerHistory history;
  history.addClaude("one", 1, 50'000);
  history.addCodex("x", 2, 50'000, true);
  const std::string program = std::string(QUORVIN_BINARY_DIR) + "/src/app/quorvin ledger --home '" +
                              history.home.path().string() + "'";
  const auto refused = test::runProgram(program + " --since 2026-13-01");
  EXPECT_EQ(refused.status, 2) << refused.output;
  EXPECT_FALSE(std::filesystem::exists(history.options().ledgerPath));

  const auto run = test::runProgram(program + " --json");
  ASSERT_EQ(run.status, 0) << run.output;
  const auto totals = TokensLedger::parse(history.options().ledgerPath);
  ASSERT_TRUE(totals);
  EXPECT_EQ(totals->total, (history.claude.counters + history.codex.counters).total());
  EXPECT_NE(run.output.find(std::to_string(totals->total)), std::string::npos) << run.output;
}

TEST(LedgerFile, AWriteKilledAtAnyMomentLeavesTheOldLedgerWhole) {
  test::TempFolder directory;
  const auto path = directory / "tokens.json";
  ledger::Cells cells;
  for (int i = 0; i < 3000; ++i) cells[{"2026-01", "claude", "model-" + std::to_string(i)}] = UsageCounters{1, 1, 1, 1};
  const std::string big = ledger::ledgerJson(cells, WallTime{});
  ASSERT_TRUE(ledger::writeAtomically(path, ledger::ledgerJson({}, WallTime{})));

  for (int round = 0; round < 5; ++round) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(ready[0]);
      for (int i = 0;; ++i) {
        ledger::writeAtomically(path, big);
        if (i == 0) (void)::write(ready[1], "x", 1);
      }
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    const auto totals = TokensLedger::parse(path);
    ASSERT_TRUE(totals) << "round " << round;
    EXPECT_EQ(totals->total, 12000);
  }
}

}  // namespace
}  // namespace quorvin
