#include <gtest/gtest.h>

#include "sources/CcusagePulse.h"

namespace quorvin {
namespace {

LiveUsageOracle::Snapshot liveSnapshot() {
  LiveUsageOracle::Snapshot live;
  live.counters = UsageCounters{100, 50, 1000, 10};
  live.sources = {"claude", "codex"};
  live.models = {"gpt-5", "sonnet"};
  live.sourceTotals = {{"claude", 1000}, {"codex", 160}};
  live.sourceCosts = {{"claude", 1.5}, {"codex", 0.5}};
  return live;
}

CursorUsageReading cursorReading(bool fresh) {
  CursorUsageReading reading;
  reading.snapshot = CursorUsageSnapshot{.total = 5000, .cost = 9, .input = 5000,
                                         .models = {{"auto", 5000, 0, 0, 0, 9}, {"gpt-5", 0, 0, 0, 0, 0}}};
  reading.liveTotal = 40;
  reading.liveCost = 0.25;
  reading.liveInput = 30;
  reading.liveOutput = 10;
  reading.isFresh = fresh;
  reading.warning = "Cursor usage is stale. Retrying Cursor automatically.";
  return reading;
}

// Fresh Cursor usage joins sources, models and counters; stale usage adds only its live total.
TEST(CcusagePulse, FoldsInCursorUsageByFreshness) {
  EXPECT_FALSE(Ccusage::buildPulse(std::nullopt, CursorUsageReading{}));

  const auto fresh = Ccusage::buildPulse(liveSnapshot(), cursorReading(true));
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->total, 1160 + 40);
  EXPECT_EQ(fresh->sources, (std::vector<std::string>{"claude", "codex", "cursor"}));
  EXPECT_EQ(fresh->models, (std::vector<std::string>{"auto", "gpt-5", "sonnet"}));
  EXPECT_EQ(fresh->sourceTotals.at("cursor"), 40);
  EXPECT_EQ(fresh->sourceCosts.at("cursor"), 0.25);
  EXPECT_EQ(fresh->counters, (UsageCounters{130, 60, 1000, 10}));
  EXPECT_EQ(fresh->providerWarning, "Cursor usage is stale. Retrying Cursor automatically.");

  const auto stale = Ccusage::buildPulse(liveSnapshot(), cursorReading(false));
  ASSERT_TRUE(stale);
  EXPECT_EQ(stale->total, 1200);
  EXPECT_EQ(stale->sources, (std::vector<std::string>{"claude", "codex"}));
  EXPECT_EQ(stale->models, (std::vector<std::string>{"gpt-5", "sonnet"}));
  EXPECT_EQ(stale->counters, liveSnapshot().counters);

  // Cursor alone, without the log tailer.
  const auto alone = Ccusage::buildPulse(std::nullopt, cursorReading(true));
  ASSERT_TRUE(alone);
  EXPECT_EQ(alone->total, 40);
  EXPECT_EQ(alone->sources, (std::vector<std::string>{"cursor"}));
}

}  // namespace
}  // namespace quorvin
