#include "usage/UsageCostEstimator.h"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <utility>

#include "usage/EmbeddedModelPrices.h"
#include "usage/FamilyPriceTable.h"
#include "usage/ModelPricer.h"

namespace quorvin {
namespace {

using namespace std::chrono;
using UsageCostEstimator::Price;

WallTime utc(year_month_day day, hours hour = hours(12), minutes minute = minutes(0)) {
  return sys_days{day} + hour + minute;
}

void expectPrices(const std::vector<std::pair<std::string, Price>>& cases) {
  for (const auto& [model, expected] : cases) {
    auto price = UsageCostEstimator::price(model);
    ASSERT_TRUE(price) << model;
    EXPECT_EQ(*price, expected) << model;
  }
}

TEST(UsageCostEstimator, TheBuiltInCatalogueLoadsAndRecordsItsVersion) {
  // A refreshed catalogue with a rule std::regex cannot compile would silently leave
  // every name to the family table.
  auto pricer = ModelPricer::fromJson(embeddedModelPrices());
  ASSERT_NE(pricer.catalogue(), nullptr);
  EXPECT_FALSE(pricer.catalogue()->version().empty());
  EXPECT_GT(pricer.catalogue()->modelCount(), 100u);
}

// How a name reaches its catalogue entry: spelling variants, dates, providers, labels, free
// marks; and the family table for names the catalogue does not list.
TEST(UsageCostEstimator, NamesFindThePriceOfTheModelTheyMean) {
  const Price opus45{5, 25, 0.5, 6.25};
  const Price sonnet45{3, 15, 0.3, 3.75};
  const Price gpt52{1.75, 14, 0.175, 1.75};  // no cache-write rate listed: billed as input
  expectPrices({
      {"claude-opus-4.6", opus45},
      {"Claude-Opus-4-6", opus45},
      {"claude-opus-4-5-20251101", opus45},
      {"claude-sonnet-4-5-20250929", sonnet45},
      {"gpt-5.3-codex", gpt52},
      {"o3", {2, 8, 0.5, 2}},  // the cut of June 2025 applies, not the launch price
      // Older versions keep their own prices; some are listed only with a dashed date.
      {"claude-opus-4-1", {15, 75, 1.5, 18.75}},
      {"gpt-4o-20240806", {2.5, 10, 1.25, 2.5}},
      // openclaw labels carry their source in front of the model; providers prefix theirs.
      {"[openclaw] o3", {2, 8, 0.5, 2}},
      {"openrouter/anthropic/claude-haiku-4.5", {1, 5, 0.1, 1.25}},
      // A name marked free costs nothing even though the catalogue lists the paid model.
      {"anthropic/claude-sonnet-4:free", {0, 0, 0, 0}},
      // Not in the catalogue: the family table decides.
      {"codex", {1.25, 10, 0.125, 1.25}},
      {"Grok model unknown", {3, 15, 0.75, 3}},
      {"claude-opus-9", {15, 75, 1.5, 18.75}},
  });
  EXPECT_FALSE(UsageCostEstimator::price("llama-3-70b"));
  EXPECT_FALSE(UsageCostEstimator::price("[openclaw] openclaw"));
  EXPECT_FALSE(UsageCostEstimator::price(std::nullopt));
}

// Every family word and prefix decides on its own (a name holding no other word), and where
// words compete, the order of the rules decides.
TEST(FamilyPriceTable, EveryWordAndPrefixDecidesAndCompetingWordsFollowTheOrder) {
  const Price opus{15, 75, 1.5, 18.75}, sonnet{3, 15, 0.3, 3.75}, haiku{0.8, 4, 0.08, 1}, free{0, 0, 0, 0};
  const Price oSeries{2, 8, 0.5, 2}, gpt{1.25, 10, 0.125, 1.25}, gpt4o{2.5, 10, 1.25, 2.5};
  const Price kimi{0.6, 2.5, 0.15, 0.6}, glm{0.6, 2.2, 0.11, 0.6}, grok{3, 15, 0.75, 3};
  const Price grokBuild{1, 2, 0.2, 1}, grok420{1.25, 2.5, 0.2, 1.25}, grok45{2, 6, 0.3, 2};
  const Price deepseek{0.27, 1.1, 0.07, 0.27}, qwen{0.4, 1.2, 0.1, 0.4}, gemini{0.1, 0.4, 0.025, 0.1};
  const std::pair<std::string, Price> cases[] = {
      {"x-free", free},         {"nemotron-x", free},      {"nvidia/x", free},        {"claude-x", sonnet},
      {"opus-x", opus},         {"sonnet-x", sonnet},      {"haiku-x", haiku},        {"fable-x", opus},
      {"o1-x", oSeries},        {"o3-x", oSeries},         {"o4-x", oSeries},         {"gpt-x", gpt},
      {"codex-x", gpt},         {"gpt-4o-x", gpt4o},       {"kimi-x", kimi},          {"moonshot-x", kimi},
      {"glm-x", glm},           {"z-ai/x", glm},           {"zhipu-x", glm},          {"grok-x", grok},
      {"grok-build", grokBuild}, {"grok-0.1", grokBuild},  {"grok-4.20", grok420},    {"grok-4-20", grok420},
      {"grok-4.5", grok45},     {"grok-4-5", grok45},      {"deepseek-x", deepseek},  {"qwen-x", qwen},
      {"gemma-x", gemini},      {"gemini-x", gemini},      {"google/x", gemini},
      // Competing words.
      {"claude-sonnet:free", free}, {"claude-opus-haiku", opus}, {"o4-mini-gpt-4o", oSeries},
      {"grok-build-4.5", grokBuild},
  };
  for (const auto& [model, expected] : cases) {
    SCOPED_TRACE(model);
    auto price = FamilyPriceTable::price(model);
    ASSERT_TRUE(price);
    EXPECT_EQ(*price, expected);
  }
  // The o-series rule is a prefix rule: elsewhere in a name "o3" is no family word.
  EXPECT_FALSE(FamilyPriceTable::price("my-o3"));
  EXPECT_FALSE(FamilyPriceTable::price("mistral-large"));
}

// The catalogue against an independent pricer: ccusage's own costs per model in its captured
// output (requests below every tier), for Claude 4.x and older, and GPT-5.
TEST(UsageCostEstimator, CostsPerModelAgreeWithCcusagesOnItsCapturedOutput) {
  std::ifstream in(std::string(QUORVIN_TEST_DATA) + "/ccusage/ccusage-sample.json");
  std::stringstream text;
  text << in.rdbuf();
  const auto root = boost::json::parse(text.str()).as_object();
  std::map<std::string, std::pair<UsageCounters, double>> perModel;
  for (const auto& day : root.at("daily").as_array()) {
    for (const auto& row : day.at("modelBreakdowns").as_array()) {
      const auto& breakdown = row.as_object();
      auto figure = [&](const char* key) { return breakdown.contains(key) ? breakdown.at(key).to_number<int64_t>() : 0; };
      auto& [counters, cost] = perModel[std::string(breakdown.at("modelName").as_string())];
      counters += UsageCounters{figure("inputTokens"), figure("outputTokens"), figure("cacheReadTokens"),
                                figure("cacheCreationTokens")};
      cost += breakdown.at("cost").to_number<double>();
    }
  }
  ASSERT_EQ(perModel.size(), 5u);
  for (const auto& [model, figures] : perModel) {
    SCOPED_TRACE(model);
    EXPECT_NEAR(UsageCostEstimator::estimate(figures.first, model), figures.second, 1e-6);
  }
}

TEST(UsageCostEstimator, EstimateIsPerMillionAtBaseRatesAndIgnoresNegatives) {
  EXPECT_DOUBLE_EQ(UsageCostEstimator::estimate({1'000'000, 0, 0, 0}, "gpt-5"), 1.25);
  EXPECT_DOUBLE_EQ(UsageCostEstimator::estimate({0, 0, 1'000'000, 0}, "gpt-5"), 0.125);
  EXPECT_DOUBLE_EQ(UsageCostEstimator::estimate({-5'000'000, 1'000'000, 0, 0}, "claude-sonnet-4"), 15);
  // Counters that add up many requests never reach a tier.
  EXPECT_DOUBLE_EQ(UsageCostEstimator::estimate({10'000'000, 0, 0, 0}, "claude-sonnet-4-5"), 30);
  EXPECT_EQ(UsageCostEstimator::estimate({1'000'000, 0, 0, 0}, "llama-3-70b"), 0);
  EXPECT_EQ(UsageCostEstimator::estimate({1'000'000, 0, 0, 0}, std::nullopt), 0);
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  double huge = UsageCostEstimator::estimate({kMax, kMax, kMax, kMax}, "claude-opus");
  EXPECT_GT(huge, 0);
  EXPECT_GT(UsageCostEstimator::estimateRequest({kMax, kMax, kMax, kMax}, "claude-sonnet-4-5", utc(2026y / 6 / 1)), 0);
}

TEST(UsageCostEstimator, ARequestPaysTheTierItsWholeInputReaches) {
  const WallTime at = utc(2026y / 6 / 1);
  // 200,000 input tokens in all (fresh + cache read + cache write) is still the base tier.
  EXPECT_NEAR(UsageCostEstimator::estimateRequest({1000, 1000, 198'000, 1000}, "claude-sonnet-4-5", at),
              (1000 * 3 + 1000 * 15 + 198'000 * 0.3 + 1000 * 3.75) / 1e6, 1e-12);
  // One more and every token of the request pays the higher rate.
  EXPECT_NEAR(UsageCostEstimator::estimateRequest({1001, 1000, 198'000, 1000}, "claude-sonnet-4-5", at),
              (1001 * 6 + 1000 * 22.5 + 198'000 * 0.6 + 1000 * 7.5) / 1e6, 1e-12);
  EXPECT_NEAR(UsageCostEstimator::estimateRequest({300'000, 0, 0, 0}, "gemini-2.5-pro", at), 300'000 * 2.5 / 1e6,
              1e-12);
}

TEST(UsageCostEstimator, ARequestPaysTheRatesInForceWhenItWasMade) {
  // Opus 4.6 had a long-context tier until 13 March 2026.
  EXPECT_NEAR(UsageCostEstimator::estimateRequest({300'000, 0, 0, 0}, "claude-opus-4-6", utc(2026y / 3 / 12, 23h)),
              3.0, 1e-12);
  EXPECT_NEAR(UsageCostEstimator::estimateRequest({300'000, 0, 0, 0}, "claude-opus-4-6", utc(2026y / 3 / 13, 0h)),
              1.5, 1e-12);
  // DeepSeek's standard rate runs from 00:30 to 16:30 UTC; the rest of the day is cheaper.
  const UsageCounters million{1'000'000, 0, 0, 0};
  EXPECT_NEAR(UsageCostEstimator::estimateRequest(million, "deepseek-chat", utc(2026y / 6 / 1, 0h, 30min)), 0.27,
              1e-12);
  EXPECT_NEAR(UsageCostEstimator::estimateRequest(million, "deepseek-chat", utc(2026y / 6 / 1, 16h, 29min)), 0.27,
              1e-12);
  EXPECT_NEAR(UsageCostEstimator::estimateRequest(million, "deepseek-chat", utc(2026y / 6 / 1, 16h, 30min)), 0.135,
              1e-12);
  EXPECT_NEAR(UsageCostEstimator::estimateRequest(million, "deepseek-chat", utc(2026y / 6 / 1, 0h, 29min)), 0.135,
              1e-12);
}

}  // namespace
}  // namespace quorvin
