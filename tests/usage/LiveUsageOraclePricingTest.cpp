// How the oracle prices what it counts: per log line, by the model the line names.
#include <gtest/gtest.h>

#include "usage/LiveUsageOracle.h"
#include "usage/OracleHarness.h"

namespace quorvin {
namespace {

using test::claudeLine;
using test::snapshotUntil;
using test::sourceTotal;

std::string openclawLine(const std::string& id, const std::string& model, int64_t input) {
  return R"({"type":"message","message":{"role":"assistant","id":")" + id + R"(","modelId":")" + model +
         R"(","usage":{"input":)" + std::to_string(input) + R"(,"output":0,"cacheRead":0,"cacheWrite":0}}})" + "\n";
}

using LiveUsageOraclePricingTest = test::OracleTest;

TEST_F(LiveUsageOraclePricingTest, OpenclawUsageIsPricedByTheModelBehindItsLabel) {
  std::filesystem::create_directories(home_ / ".openclaw/agents");
  auto oracle = start();
  test::writeFile(home_ / ".openclaw/agents/s.jsonl",
                  openclawLine("a", "o3", 1'000'000) + openclawLine("b", "claude-opus-4-6", 1'000'000));
  auto snapshot = snapshotUntil(*oracle, [](const auto& s) { return sourceTotal(s, "openclaw") >= 2'000'000; });
  EXPECT_EQ(snapshot.models, (std::vector<std::string>{"[openclaw] claude-opus-4-6", "[openclaw] o3"}));
  EXPECT_NEAR(snapshot.sourceCosts.at("openclaw"), 2.0 + 5.0, 1e-9);
}

TEST_F(LiveUsageOraclePricingTest, EachLineIsPricedAtTheTierOfItsOwnInput) {
  std::filesystem::create_directories(home_ / ".claude/projects/p");
  auto oracle = start();
  // Two requests of 150,000 input tokens stay below the 200,000 tier; one of 250,000 does not.
  const auto now = clock_.now();
  test::writeFile(home_ / ".claude/projects/p/a.jsonl",
                  claudeLine("m1", 150'000, 0, now) + claudeLine("m2", 150'000, 0, now) +
                      claudeLine("m3", 250'000, 0, now));
  auto snapshot = snapshotUntil(*oracle, [](const auto& s) { return sourceTotal(s, "claude") >= 550'000; });
  EXPECT_EQ(sourceTotal(snapshot, "claude"), 550'000);
  EXPECT_NEAR(snapshot.sourceCosts.at("claude"), (300'000 * 3 + 250'000 * 6) / 1e6, 1e-9);
}

}  // namespace
}  // namespace quorvin
