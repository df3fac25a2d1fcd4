#include "usage/UsageCostEstimator.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <string>

namespace quorvin::UsageCostEstimator {

namespace {

bool containsAny(std::string_view name, std::initializer_list<std::string_view> needles) {
  return std::any_of(needles.begin(), needles.end(),
                     [name](std::string_view needle) { return name.find(needle) != std::string_view::npos; });
}

bool startsWithAny(std::string_view name, std::initializer_list<std::string_view> prefixes) {
  return std::any_of(prefixes.begin(), prefixes.end(),
                     [name](std::string_view prefix) { return name.starts_with(prefix); });
}

}  // namespace

std::optional<Price> price(std::optional<std::string_view> model) {
  if (!model) return std::nullopt;
  std::string lowered(*model);
  // ASCII lowering: every family needle is ASCII.
  std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                 [](unsigned char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : char(c); });
  std::string_view name = lowered;

  if (containsAny(name, {"free", "nemotron", "nvidia/"})) return Price{0, 0, 0, 0};
  if (containsAny(name, {"claude", "opus", "sonnet", "haiku", "fable"})) {
    if (containsAny(name, {"opus", "fable"})) return Price{15, 75, 1.5, 18.75};
    if (containsAny(name, {"haiku"})) return Price{0.8, 4, 0.08, 1};
    return Price{3, 15, 0.3, 3.75};
  }
  bool oSeries = startsWithAny(name, {"o1", "o3", "o4"});
  if (oSeries || containsAny(name, {"gpt", "codex"})) {
    if (oSeries) return Price{2, 8, 0.5, 2};
    if (containsAny(name, {"4o"})) return Price{2.5, 10, 1.25, 2.5};
    return Price{1.25, 10, 0.125, 1.25};
  }
  if (containsAny(name, {"kimi", "moonshot"})) return Price{0.6, 2.5, 0.15, 0.6};
  if (containsAny(name, {"glm", "z-ai", "zhipu"})) return Price{0.6, 2.2, 0.11, 0.6};
  if (containsAny(name, {"grok"})) {
    if (containsAny(name, {"build", "0.1"})) return Price{1, 2, 0.2, 1};
    if (containsAny(name, {"4.20", "4-20"})) return Price{1.25, 2.5, 0.2, 1.25};
    if (containsAny(name, {"4.5", "4-5"})) return Price{2, 6, 0.3, 2};
    return Price{3, 15, 0.75, 3};
  }
  if (containsAny(name, {"deepseek"})) return Price{0.27, 1.1, 0.07, 0.27};
  if (containsAny(name, {"qwen"})) return Price{0.4, 1.2, 0.1, 0.4};
  if (containsAny(name, {"gemma", "gemini", "google"})) return Price{0.1, 0.4, 0.025, 0.1};
  return std::nullopt;
}

double estimate(const UsageCounters& counters, std::optional<std::string_view> model) {
  auto rates = price(model);
  if (!rates) return 0;
  auto tokens = [](int64_t n) { return static_cast<double>(std::max<int64_t>(n, 0)); };
  double cost = (rates->input * tokens(counters.input) + rates->output * tokens(counters.output) +
                 rates->cacheRead * tokens(counters.cacheRead) + rates->cacheWrite * tokens(counters.cacheWrite)) /
                1'000'000.0;
  return std::isfinite(cost) && cost > 0 ? cost : 0;
}

}  // namespace quorvin::UsageCostEstimator
