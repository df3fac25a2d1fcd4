#include "app/UsageSnapshotFormat.h"

#include <gtest/gtest.h>

namespace quorvin {
namespace {

TEST(UsageSnapshotFormat, JsonLineHasTheDocumentedShape) {
  LiveUsageOracle::Snapshot snapshot;
  snapshot.counters = {1, 2, 3, 4};
  snapshot.sources = {"claude", "opencode"};
  snapshot.models = {"claude-sonnet-4-5"};
  snapshot.sourceTotals = {{"claude", 10}, {"opencode", 0}};
  snapshot.sourceCosts = {{"claude", 0.5}, {"opencode", 0}};
  EXPECT_EQ(app::usageSnapshotJson(snapshot),
            R"({"counters":{"input":1,"output":2,"cacheRead":3,"cacheWrite":4},"sources":["claude","opencode"],)"
            R"("models":["claude-sonnet-4-5"],"sourceTotals":{"claude":10,"opencode":0},)"
            R"("sourceCosts":{"claude":0.5,"opencode":0.0}})");

  std::string empty = app::usageSnapshotJson({});
  EXPECT_EQ(empty, R"({"counters":{"input":0,"output":0,"cacheRead":0,"cacheWrite":0},"sources":[],"models":[],)"
                   R"("sourceTotals":{},"sourceCosts":{}})");
}

TEST(UsageSnapshotFormat, TableGroupsDigitsAndListsEverySource) {
  LiveUsageOracle::Snapshot snapshot;
  snapshot.counters = {1234567, 0, 0, 0};
  snapshot.sources = {"claude", "codex"};
  snapshot.sourceTotals = {{"claude", 1234567}, {"codex", 0}};
  snapshot.sourceCosts = {{"claude", 3.7037}};
  std::string table = app::usageSnapshotTable(snapshot, WallTime{});
  EXPECT_NE(table.find("  claude           1,234,567      $3.7037\n"), std::string::npos) << table;
  EXPECT_NE(table.find("  codex                    0      $0.0000\n"), std::string::npos) << table;
  EXPECT_NE(table.find("models: none yet"), std::string::npos);
}

}  // namespace
}  // namespace quorvin
