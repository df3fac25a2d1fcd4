#include "usage/UsageCostEstimator.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>

namespace quorvin {
namespace {

using UsageCostEstimator::Price;

TEST(UsageCostEstimator, FamiliesMatchInTableOrder) {
  const std::pair<std::string, Price> cases[] = {
      {"claude-sonnet-4-5", {3, 15, 0.3, 3.75}},
      {"claude-opus-4-1", {15, 75, 1.5, 18.75}},
      {"claude-3-5-haiku", {0.8, 4, 0.08, 1}},
      {"gpt-4o-mini", {2.5, 10, 1.25, 2.5}},
      {"o3-mini", {2, 8, 0.5, 2}},
      {"gpt-5-codex", {1.25, 10, 0.125, 1.25}},
      {"codex", {1.25, 10, 0.125, 1.25}},
      {"kimi", {0.6, 2.5, 0.15, 0.6}},
      {"gemini", {0.1, 0.4, 0.025, 0.1}},
      {"Grok model unknown", {3, 15, 0.75, 3}},
      {"grok-code-fast-0.1", {1, 2, 0.2, 1}},
      {"grok-4-20", {1.25, 2.5, 0.2, 1.25}},
      {"grok-4.5", {2, 6, 0.3, 2}},
      {"z-ai/glm-4.6", {0.6, 2.2, 0.11, 0.6}},
      {"deepseek-chat", {0.27, 1.1, 0.07, 0.27}},
      {"qwen3-coder", {0.4, 1.2, 0.1, 0.4}},
      {"[openclaw] claude-opus-4", {15, 75, 1.5, 18.75}},
      // "free" wins over every family, even a paid one named in the same string.
      {"anthropic/claude-sonnet:free", {0, 0, 0, 0}},
      {"nvidia/llama", {0, 0, 0, 0}},
  };
  for (const auto& [model, expected] : cases) {
    auto price = UsageCostEstimator::price(model);
    ASSERT_TRUE(price) << model;
    EXPECT_EQ(*price, expected) << model;
  }
  EXPECT_FALSE(UsageCostEstimator::price("mistral-large"));
  EXPECT_FALSE(UsageCostEstimator::price(std::nullopt));
}

TEST(UsageCostEstimator, EstimateIsPerMillionAndIgnoresNegatives) {
  EXPECT_DOUBLE_EQ(UsageCostEstimator::estimate({1'000'000, 0, 0, 0}, "gpt-5"), 1.25);
  EXPECT_DOUBLE_EQ(UsageCostEstimator::estimate({0, 0, 1'000'000, 0}, "gpt-5"), 0.125);
  EXPECT_DOUBLE_EQ(UsageCostEstimator::estimate({-5'000'000, 1'000'000, 0, 0}, "claude-sonnet-4"), 15);
  EXPECT_EQ(UsageCostEstimator::estimate({1'000'000, 0, 0, 0}, "mistral-large"), 0);
  EXPECT_EQ(UsageCostEstimator::estimate({1'000'000, 0, 0, 0}, std::nullopt), 0);
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  double huge = UsageCostEstimator::estimate({kMax, kMax, kMax, kMax}, "claude-opus");
  EXPECT_GT(huge, 0);
}

}  // namespace
}  // namespace quorvin
