#include "usage/FamilyPriceTable.h"

#include <algorithm>
#include <initializer_list>

namespace quorvin::FamilyPriceTable {

namespace {

using Price = UsageCostEstimator::Price;

bool containsAny(std::string_view name, std::initializer_list<std::string_view> needles) {
  return std::any_of(needles.begin(), needles.end(),
                     [name](std::string_view needle) { return name.find(needle) != std::string_view::npos; });
}

bool startsWithAny(std::string_view name, std::initializer_list<std::string_view> prefixes) {
  return std::any_of(prefixes.begin(), prefixes.end(),
                     [name](std::string_view prefix) { return name.starts_with(prefix); });
}

}  // namespace

bool knownFree(std::string_view name) { return containsAny(name, {"free", "nemotron", "nvidia/"}); }

std::optional<Price> price(std::string_view name) {
  if (knownFree(name)) return Price{0, 0, 0, 0};
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

}  // namespace quorvin::FamilyPriceTable
