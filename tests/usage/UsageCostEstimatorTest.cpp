#include "usage/UsageCostEstimator.h"

#include <gtest/gtest.h>

#include <limits>
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

TEST(UsageCostEstimator, CurrentModelsArePricedFromTheCatalogue) {
  const Price opus45{5, 25, 0.5, 6.25};
  const Price haiku45{1, 5, 0.1, 1.25};
  const Price gpt52{1.75, 14, 0.175, 1.75};  // no cache-write rate listed: billed as input
  expectPrices({
      {"claude-opus-4-6", opus45},
      {"claude-opus-4.6", opus45},
      {"claude-opus-4-5", opus45},
      {"claude-opus-4.5", opus45},
      {"claude-opus-4-5-20251101", opus45},
      {"Claude-Opus-4-6", opus45},
      {"claude-haiku-4-5", haiku45},
      {"claude-haiku-4.5", haiku45},
      {"claude-haiku-4-5-20251001", haiku45},
      {"claude-sonnet-4-5-20250929", {3, 15, 0.3, 3.75}},
      {"claude-sonnet-4.5", {3, 15, 0.3, 3.75}},
      {"gpt-5.3-codex", gpt52},
      {"gpt-5.2", gpt52},
      {"gpt-5.2-codex", gpt52},
      {"gpt-5-codex", {1.25, 10, 0.125, 1.25}},
      {"o3", {2, 8, 0.5, 2}},  // the cut of June 2025 applies, not the launch price
      {"gemini-2.5-pro", {1.25, 10, 0.125, 1.25}},
      {"grok-4", {3, 15, 0.75, 3}},
      {"kimi-k2-thinking", {0.6, 2.5, 0.15, 0.6}},
  });
}

TEST(UsageCostEstimator, OlderVersionsKeepTheirOwnPrices) {
  expectPrices({
      {"claude-3-opus-20240229", {15, 75, 1.5, 18.75}},
      {"claude-opus-4-1", {15, 75, 1.5, 18.75}},
      {"claude-opus-4-20250514", {15, 75, 1.5, 18.75}},
      {"claude-3-5-haiku-20241022", {0.8, 4, 0.08, 1}},
      {"claude-3-haiku-20240307", {0.25, 1.25, 0.03, 0.3}},
      {"gpt-4o-mini", {0.15, 0.6, 0.075, 0.15}},
      // Listed only with a dashed date.
      {"gpt-4o-20240806", {2.5, 10, 1.25, 2.5}},
  });
}

TEST(UsageCostEstimator, LabelsAndProviderPrefixesPriceTheModelTheyName) {
  expectPrices({
      // openclaw labels carry their source in front of the model.
      {"[openclaw] o3", {2, 8, 0.5, 2}},
      {"[openclaw] claude-opus-4-6", {5, 25, 0.5, 6.25}},
      {"anthropic/claude-sonnet-4.5", {3, 15, 0.3, 3.75}},
      {"openai/gpt-5.2", {1.75, 14, 0.175, 1.75}},
      {"google/gemini-2.5-pro", {1.25, 10, 0.125, 1.25}},
      {"openrouter/anthropic/claude-haiku-4.5", {1, 5, 0.1, 1.25}},
      // A name marked free costs nothing even though the catalogue lists the paid model.
      {"anthropic/claude-sonnet-4:free", {0, 0, 0, 0}},
  });
}

TEST(UsageCostEstimator, NamesTheCatalogueDoesNotListFallBackToTheFamilyTable) {
  expectPrices({
      {"codex", {1.25, 10, 0.125, 1.25}},
      {"kimi", {0.6, 2.5, 0.15, 0.6}},
      {"gemini", {0.1, 0.4, 0.025, 0.1}},
      {"Grok model unknown", {3, 15, 0.75, 3}},
      {"claude-opus-9", {15, 75, 1.5, 18.75}},
      {"qwen3-coder", {0.4, 1.2, 0.1, 0.4}},
  });
  EXPECT_FALSE(UsageCostEstimator::price("llama-3-70b"));
  EXPECT_FALSE(UsageCostEstimator::price("[openclaw] openclaw"));
  EXPECT_FALSE(UsageCostEstimator::price(std::nullopt));
}

// Each family word alone, so that dropping any one word or prefix from the table changes
// a result here.
TEST(FamilyPriceTable, EveryFamilyWordAndSubRuleDecides) {
  const Price opus{15, 75, 1.5, 18.75}, haiku{0.8, 4, 0.08, 1}, sonnet{3, 15, 0.3, 3.75};
  const Price oSeries{2, 8, 0.5, 2}, gpt4o{2.5, 10, 1.25, 2.5}, gpt{1.25, 10, 0.125, 1.25};
  const Price kimi{0.6, 2.5, 0.15, 0.6}, glm{0.6, 2.2, 0.11, 0.6}, google{0.1, 0.4, 0.025, 0.1};
  const Price free{0, 0, 0, 0};
  const std::pair<std::string, Price> cases[] = {
      {"free", free}, {"nemotron", free}, {"nvidia/x", free}, {"claude-sonnet:free", free},
      {"claude", sonnet}, {"sonnet", sonnet}, {"opus", opus}, {"fable", opus}, {"haiku", haiku},
      {"claude-opus-haiku", opus},
      {"o1-preview", oSeries}, {"o3-mini", oSeries}, {"o4-mini", oSeries}, {"o4-mini-gpt-4o", oSeries},
      {"gpt-4o", gpt4o}, {"gpt", gpt}, {"codex", gpt},
      {"kimi", kimi}, {"moonshot", kimi},
      {"glm", glm}, {"z-ai", glm}, {"zhipu", glm},
      {"grok build", {1, 2, 0.2, 1}}, {"grok-0.1", {1, 2, 0.2, 1}}, {"grok-build-4.5", {1, 2, 0.2, 1}},
      {"grok-4.20", {1.25, 2.5, 0.2, 1.25}}, {"grok-4-20", {1.25, 2.5, 0.2, 1.25}},
      {"grok-4.5", {2, 6, 0.3, 2}}, {"grok-4-5", {2, 6, 0.3, 2}}, {"grok", {3, 15, 0.75, 3}},
      {"deepseek", {0.27, 1.1, 0.07, 0.27}}, {"qwen", {0.4, 1.2, 0.1, 0.4}},
      {"gemma", google}, {"gemini", google}, {"google", google},
  };
  for (const auto& [model, expected] : cases) {
    auto price = FamilyPriceTable::price(model);
    ASSERT_TRUE(price) << model;
    EXPECT_EQ(*price, expected) << model;
  }
  // The o-series rule is a prefix rule: elsewhere in a name "o3" is no family word.
  EXPECT_FALSE(FamilyPriceTable::price("my-o3"));
  EXPECT_FALSE(FamilyPriceTable::price("mistral-large"));
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
