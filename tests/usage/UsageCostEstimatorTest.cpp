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

// Where family words compete, the order of the rules decides.
TEST(FamilyPriceTable, CompetingWordsAndPrefixRules) {
  const Price opus{15, 75, 1.5, 18.75}, oSeries{2, 8, 0.5, 2}, free{0, 0, 0, 0};
  const std::pair<std::string, Price> cases[] = {
      {"claude-sonnet:free", free}, {"nvidia/x", free},       {"claude-opus-haiku", opus},
      {"o4-mini-gpt-4o", oSeries},  {"grok-4.20", {1.25, 2.5, 0.2, 1.25}}, {"grok-4-5", {2, 6, 0.3, 2}},
      {"grok-build-4.5", {1, 2, 0.2, 1}},
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
