#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/AwaitOnModel.h"
#include "ledger/LedgerHistory.h"
#include "platform/ProcessRunner.h"
#include "platform/Runtime.h"
#include "platform/SystemClock.h"
#include "shell/LocalUsageFeed.h"

namespace quorvin {
namespace {

using test::LedgerHistory;

// The application's totals on a computer whose ccusage lags behind the logs: a bundled
// tool that always reports 100 tokens.
class LedgerFeedTest : public ::testing::Test {
 protected:
  LedgerFeedTest() {
    const auto tool = history_.home / "prefix/libexec/quorvin/ccusage";
    std::filesystem::create_directories(tool.parent_path());
    test::appendFile(tool,
                     "#!/bin/sh\nprintf '%s' '{\"totals\":{\"inputTokens\":100,\"outputTokens\":0,"
                     "\"cacheReadTokens\":0,\"cacheCreationTokens\":0,\"totalTokens\":100,\"totalCost\":1}}'\n");
    ::chmod(tool.c_str(), 0755);
    environment_.home = history_.home.path();
    environment_.bundledTool = tool;
    environment_.temporaryDirectory = history_.home.path();
    environment_.processEnvironment = {{"HOME", history_.home.path().string()}};
  }

  std::optional<API::Totals> readTotals(bool withLedger) {
    LocalUsageFeed::Parts parts;
    parts.runner = &runner_;
    parts.pool = &runtime_.pool();
    parts.ccusage = environment_;
    parts.clock = &clock_;
    if (withLedger) parts.ledger = history_.options();
    LocalUsageFeed feed(std::move(parts));
    return test::awaitOnModel(runtime_, feed.readTotals());
  }

  LedgerHistory history_;
  Ccusage::Environment environment_;
  SystemClock clock_;
  Runtime runtime_{2};
  ProcessRunner runner_{clock_, runtime_};
};

TEST_F(LedgerFeedTest, EachReadOfTheTotalsFirstBringsTheLedgerUpToDate) {
  history_.addClaude("a", 1, 100'000);
  // Without the ledger's refresh only the tool speaks.
  auto totals = readTotals(false);
  ASSERT_TRUE(totals);
  EXPECT_EQ(totals->total, 100);

  totals = readTotals(true);
  ASSERT_TRUE(totals);
  EXPECT_EQ(totals->total, history_.claude.counters.total());

  // Usage logged since the last read is in the next one.
  history_.addClaude("a", 2, 20'000);
  history_.addCodex("x", 3, 50'000, false);
  totals = readTotals(true);
  ASSERT_TRUE(totals);
  EXPECT_EQ(totals->total, history_.claude.counters.total() + history_.codex.counters.total());
}

}  // namespace
}  // namespace quorvin
