#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <boost/json.hpp>
#include <cmath>

#include "sources/CcusageJson.h"
#include "sources/CcusageMerge.h"
#include "support/TempFolder.h"
#include "sources/TokensLedger.h"

namespace quorvin {
namespace {

namespace J = CcusageJson;
namespace M = CcusageMerge;

std::optional<int64_t> intOf(std::string_view text) {
  const auto v = boost::json::parse(text);
  return J::intVal(&v);
}
std::optional<double> doubleOf(std::string_view text) {
  const auto v = boost::json::parse(text);
  return J::doubleVal(&v);
}

TEST(CcusageNumbers, LenientReading) {
  EXPECT_EQ(intOf("42"), 42);
  EXPECT_EQ(intOf("-7.9"), -7);
  EXPECT_EQ(intOf("\"+12\""), 12);
  EXPECT_EQ(intOf("\"-12\""), -12);
  EXPECT_EQ(intOf("18446744073709551615"), std::nullopt);
  EXPECT_EQ(intOf("1e300"), std::nullopt);
  EXPECT_EQ(intOf("\"12.5\""), std::nullopt);
  EXPECT_EQ(intOf("\" 12\""), std::nullopt);
  EXPECT_EQ(intOf("true"), std::nullopt);
  EXPECT_EQ(intOf("null"), std::nullopt);
  EXPECT_EQ(doubleOf("1.25"), 1.25);
  EXPECT_EQ(doubleOf("3"), 3.0);
  EXPECT_EQ(doubleOf("\"2.5e1\""), 25.0);
  EXPECT_EQ(doubleOf("\"nan\""), std::nullopt);
  EXPECT_EQ(doubleOf("\"$3\""), std::nullopt);
  EXPECT_EQ(doubleOf("[]"), std::nullopt);
}

TEST(CcusageOutput, CapturedDailyOutput) {
  const auto totals = J::ccusageTotalsOfText(test::readFile(QUORVIN_TEST_DATA "/ccusage/ccusage-sample.json"));
  ASSERT_TRUE(totals);
  EXPECT_EQ(totals->total, 484840674);
  EXPECT_NEAR(totals->cost, 395.00680875, 1e-6);
  EXPECT_EQ(totals->input, 29768037);
  EXPECT_EQ(totals->output, 3593904);
  EXPECT_EQ(totals->cacheRead, 438165035);
  EXPECT_EQ(totals->cacheWrite, 13313698);
  EXPECT_EQ(totals->agents, (std::vector<API::AgentRow>{{"claude", 0, 0}, {"codex", 0, 0}}));
  ASSERT_EQ(totals->models.size(), 5u);
  EXPECT_EQ(totals->models[0].name, "claude-sonnet-4-5-20250929");
  EXPECT_NEAR(totals->models[0].cost, 190.7039556, 1e-6);
  EXPECT_EQ(totals->models[4].name, "gpt-5");
  EXPECT_FALSE(totals->liveTotal);

  // The per-agent command spells its cost "costUSD" and has no agent metadata.
  const auto codex = J::ccusageTotalsOfText(test::readFile(QUORVIN_TEST_DATA "/ccusage/ccusage-sample-codex-daily.json"));
  ASSERT_TRUE(codex);
  EXPECT_EQ(codex->total, 31999489);
  EXPECT_NEAR(codex->cost, 26.77695225, 1e-9);
  EXPECT_EQ(codex->agents, (std::vector<API::AgentRow>{{"detected", 0, 0}}));
}

TEST(CcusageOutput, KeysAndAgents) {
  // The first total key present decides, even when unreadable.
  EXPECT_FALSE(J::ccusageTotalsOfText(R"({"totals":{"totalTokens":"x","total":5}})"));
  EXPECT_EQ(J::ccusageTotalsOfText(R"({"totals":{"tokensTotal":"5","costUsdTotal":"1.5"}})")->cost, 1.5);
  EXPECT_EQ(J::ccusageTotalsOfText(R"({"totals":{"total":5,"totalCost":-0.0}})")->total, 5);
  EXPECT_FALSE(J::ccusageTotalsOfText(R"({"daily":[]})"));
  EXPECT_FALSE(J::ccusageTotalsOfText(R"([{"totals":{"total":5}}])"));
  EXPECT_FALSE(J::ccusageTotalsOfText("{\"totals\":{\"total\":5}"));

  const auto agents = J::ccusageTotalsOfText(R"({"totals":{"totalTokens":9},"daily":[
      {"metadata":{"agent":"all","agents":["codex",""]}},
      {"metadata":{"agent":"opencode"}}, {"metadata":"x"}, 7,
      {"modelBreakdowns":[{"model":"m","inputTokens":"3","cost":"0.5"},{"modelName":"m","outputTokens":2},
                          {"modelName":7,"model":"ignored"},{"modelName":""},{"modelName":"M","cost":1}]}]})");
  ASSERT_TRUE(agents);
  EXPECT_EQ(agents->agents, (std::vector<API::AgentRow>{{"codex", 0, 0}, {"opencode", 0, 0}}));
  EXPECT_EQ(agents->models, (std::vector<API::ModelRow>{{"M", 0, 0, 0, 0, 1.0}, {"m", 3, 2, 0, 0, 0.5}}));
}

TEST(CcusageOutput, AGreetingFromTheLoginProfileIsSkipped) {
  const std::string json = R"({"totals":{"totalTokens":7,"totalCost":0.5}})";
  EXPECT_EQ(J::ccusageTotalsOfText("Welcome back, ada!\n\n" + json + "\n")->total, 7);
  EXPECT_EQ(J::ccusageTotalsOfText("motd: {not json}\r\n  " + json)->total, 7);
  // Only the first line that opens an object is tried; a greeting after it spoils the output.
  EXPECT_FALSE(J::ccusageTotalsOfText("hello\n{broken\n" + json));
  EXPECT_FALSE(J::ccusageTotalsOfText(json + "\nbye"));
  EXPECT_FALSE(J::ccusageTotalsOfText("no json at all\n"));
}

TEST(CcusageOutput, NegativeAndHugeFiguresStayUsable) {
  // A negative figure would make the service refuse every upload; an infinite cost sum
  // cannot be written as JSON at all.
  const auto tool = J::ccusageTotalsOfText(R"({"totals":{"total":-5,"totalCost":-2,"inputTokens":-1,"outputTokens":3},
      "daily":[{"modelBreakdowns":[{"modelName":"m","inputTokens":-10,"outputTokens":4,"cost":-1},
                                   {"modelName":"m","inputTokens":6,"cost":2},
                                   {"modelName":"big","cost":1.5e308},{"modelName":"big","cost":1.5e308}]}]})");
  ASSERT_TRUE(tool);
  EXPECT_EQ(tool->total, 0);
  EXPECT_EQ(tool->cost, 0);
  EXPECT_EQ(tool->input, 0);
  EXPECT_EQ(tool->output, 3);
  ASSERT_EQ(tool->models.size(), 2u);
  EXPECT_EQ(tool->models[0].name, "big");
  EXPECT_TRUE(std::isfinite(tool->models[0].cost));
  EXPECT_EQ(tool->models[1], (API::ModelRow{"m", 6, 4, 0, 0, 2.0}));

  const auto ledger = J::ledgerTotalsOfText(R"({"totals":{"totalTokens":-1,"totalCost":-3,"cacheReadTokens":"-4"},
      "agents":{"claude":{"totals":{"totalTokens":5,"totalCost":-1}}}})");
  ASSERT_TRUE(ledger);
  EXPECT_EQ(ledger->total, 0);
  EXPECT_EQ(ledger->cost, 0);
  EXPECT_EQ(ledger->cacheRead, 0);
  EXPECT_EQ(ledger->agents, (std::vector<API::AgentRow>{{"claude", 5, 0}}));
}

API::Totals totals(int64_t total, double cost, std::vector<API::AgentRow> agents = {}) {
  API::Totals t;
  t.total = total;
  t.cost = cost;
  t.agents = std::move(agents);
  return t;
}

TEST(CcusageReconcile, LedgerAgainstCcusage) {
  const auto tool = totals(100, 10, {{"claude", 0, 0}});
  auto ledger = J::ledgerTotalsOfText(R"({"totals":{"totalTokens":100,"totalCost":12},
      "agents":{"claude":{"totals":{"totalTokens":60,"totalCost":7}},"codex":{"totals":{"totalTokens":40}},
                "idle":{"totals":{"totalTokens":0}}}})");
  ASSERT_TRUE(ledger);
  EXPECT_EQ(ledger->agents, (std::vector<API::AgentRow>{{"claude", 60, 7}, {"codex", 40, 0}}));

  // Ties go to ccusage.
  auto result = M::reconcile(tool, ledger);
  EXPECT_EQ(result->total, 100);
  EXPECT_EQ(result->cost, 10);
  EXPECT_FALSE(result->liveTotal);

  // A ledger ahead wins and carries ccusage's figures as live values.
  result = M::reconcile(totals(99, 9), ledger);
  EXPECT_EQ(result->cost, 12);
  EXPECT_EQ(result->liveTotal, 99);
  EXPECT_EQ(result->liveCost, 9);

  // A corrected ledger wins even when smaller.
  auto corrected = J::ledgerTotalsOfText(R"({"totals":{"totalTokens":50},"corrections":{"accountingRevision":"r2"}})");
  result = M::reconcile(tool, corrected);
  EXPECT_EQ(result->total, 50);
  EXPECT_EQ(result->accountingRevision, "r2");
  EXPECT_EQ(result->liveTotal, 100);

  // No ccusage at all: the ledger still answers.
  result = M::reconcile(std::nullopt, ledger);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->total, 100);
  EXPECT_FALSE(result->liveTotal);
  EXPECT_FALSE(M::reconcile(std::nullopt, std::nullopt));
}

TEST(CcusageReconcile, LedgerLocations) {
  test::TempFolder home;
  const std::string ledger = R"({"totals":{"totalTokens":%d}})";
  auto write = [&](const std::filesystem::path& file, int total, time_t mtime) {
    char text[64];
    std::snprintf(text, sizeof text, ledger.c_str(), total);
    test::writeFile(file, text);
    const timeval times[2] = {{mtime, 0}, {mtime, 0}};
    ::utimes(file.c_str(), times);
  };
  const auto places = TokensLedger::defaultLocations(home.path());
  EXPECT_FALSE(TokensLedger::fileTotals(nullptr, home.path()));
  write(places[0], 1, 1000);
  write(places[1], 2, 3000);
  write(places[2], 3, 3000);  // tie: the earlier candidate stays
  EXPECT_EQ(TokensLedger::fileTotals(nullptr, home.path())->total, 2);
  test::writeFile(places[1], "{");  // unparsable files do not compete
  EXPECT_EQ(TokensLedger::fileTotals(nullptr, home.path())->total, 3);
  EXPECT_EQ(TokensLedger::expandedPath("~/x/t.json", "/h"), "/h/x/t.json");
  EXPECT_EQ(TokensLedger::expandedPath("/abs/~/t.json", "/h"), "/abs/~/t.json");
}

TEST(CcusageMergeCursor, AddsCursorOnce) {
  CursorUsageSnapshot cursor{.total = 30, .cost = 3, .input = 10, .output = 10, .cacheRead = 5, .cacheWrite = 5,
                             .models = {{"gpt-5", 10, 10, 5, 5, 3}}};
  EXPECT_FALSE(M::mergeCursor(std::nullopt, std::nullopt, 1, 1));

  const auto alone = M::mergeCursor(std::nullopt, cursor, 4, 0.5);
  ASSERT_TRUE(alone);
  EXPECT_EQ(alone->total, 30);
  EXPECT_EQ(alone->input, 10);
  EXPECT_EQ(alone->agents, (std::vector<API::AgentRow>{{"cursor", 0, 0}}));
  EXPECT_EQ(alone->liveTotal, 4);

  // Already counted by the tool (any letter case): only the live values grow.
  auto counted = totals(100, 10, {{"Cursor", 0, 0}});
  counted = *M::mergeCursor(counted, cursor, 4, 0.5);
  EXPECT_EQ(counted.total, 100);
  EXPECT_EQ(counted.liveTotal, 104);
  EXPECT_EQ(counted.liveCost, 10.5);

  auto tool = totals(100, 10, {{"claude", 0, 0}});
  tool.input = 60;
  tool.models = {{"GPT-5", 60, 0, 0, 0, 1}, {"sonnet", 0, 40, 0, 0, 9}};
  tool.accountingRevision = "r1";
  const auto merged = M::mergeCursor(tool, cursor, -1, -2);
  EXPECT_EQ(merged->total, 130);
  EXPECT_EQ(merged->cost, 13);
  EXPECT_EQ(merged->input, 70);
  EXPECT_FALSE(merged->output);  // an absent counter stays absent
  EXPECT_EQ(merged->agents, (std::vector<API::AgentRow>{{"cursor", 0, 0}, {"claude", 0, 0}}));
  EXPECT_EQ(merged->models, (std::vector<API::ModelRow>{{"GPT-5", 70, 10, 5, 5, 4}, {"sonnet", 0, 40, 0, 0, 9}}));
  EXPECT_EQ(merged->liveTotal, 100);  // a negative live value counts as absent
  EXPECT_EQ(merged->accountingRevision, "r1");

  auto huge = totals(INT64_MAX - 1, 1e308);
  huge = *M::mergeCursor(huge, cursor, 0, 1e308);
  EXPECT_EQ(huge.total, INT64_MAX);
  EXPECT_EQ(huge.liveCost, std::numeric_limits<double>::max());
}

}  // namespace
}  // namespace quorvin
