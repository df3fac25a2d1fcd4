#include "usage/UsageEventLedger.h"

#include <gtest/gtest.h>

#include <string>

namespace quorvin {
namespace {

using namespace std::chrono_literals;

const WallTime t0 = WallTime{} + 1000h;

TEST(UsageEventLedger, RepeatedReportsCountOnlyTheirGrowth) {
  UsageEventLedger ledger;
  EXPECT_EQ(ledger.admit("a", {10, 20, 0, 0}, t0), (UsageCounters{10, 20, 0, 0}));
  EXPECT_EQ(ledger.admit("a", {10, 20, 0, 0}, t0), std::nullopt);
  EXPECT_EQ(ledger.admit("a", {10, 35, 0, 0}, t0), (UsageCounters{0, 15, 0, 0}));
  // A report that went down replaces the baseline without counting.
  EXPECT_EQ(ledger.admit("a", {10, 5, 0, 0}, t0), std::nullopt);
  EXPECT_EQ(ledger.admit("a", {10, 8, 0, 0}, t0), (UsageCounters{0, 3, 0, 0}));
  ledger.remember("b", {1, 1, 1, 1}, t0);
  EXPECT_EQ(ledger.admit("b", {1, 1, 1, 1}, t0), std::nullopt);
}

TEST(UsageEventLedger, ForgetsIdentifiersIdleForTheLimit) {
  UsageEventLedger ledger(6h, 100);
  ledger.admit("old", {1, 0, 0, 0}, t0);
  ledger.admit("kept", {1, 0, 0, 0}, t0);
  ledger.admit("kept", {1, 0, 0, 0}, t0 + 5h);  // seen again: its clock restarts
  ledger.admit("other", {1, 0, 0, 0}, t0 + 6h);
  EXPECT_EQ(ledger.size(), 2u);
  EXPECT_EQ(ledger.admit("kept", {1, 0, 0, 0}, t0 + 10h), std::nullopt);
  // Forgotten: it counts again in full, as a new file's state would.
  EXPECT_EQ(ledger.admit("old", {1, 0, 0, 0}, t0 + 10h), (UsageCounters{1, 0, 0, 0}));
}

TEST(UsageEventLedger, CapEvictsTheLeastRecentlySeen) {
  UsageEventLedger ledger(6h, 3);
  for (int i = 0; i < 3; ++i) ledger.admit("id" + std::to_string(i), {1, 0, 0, 0}, t0);
  ledger.admit("id0", {1, 0, 0, 0}, t0);  // id1 is now the oldest
  ledger.admit("id3", {1, 0, 0, 0}, t0);
  EXPECT_EQ(ledger.size(), 3u);
  EXPECT_EQ(ledger.admit("id0", {1, 0, 0, 0}, t0), std::nullopt);
  EXPECT_EQ(ledger.admit("id1", {1, 0, 0, 0}, t0), (UsageCounters{1, 0, 0, 0}));
  for (int i = 0; i < 10'000; ++i) ledger.admit("x" + std::to_string(i), {1, 0, 0, 0}, t0 + std::chrono::seconds(i));
  EXPECT_EQ(ledger.size(), 3u);
}

}  // namespace
}  // namespace quorvin
