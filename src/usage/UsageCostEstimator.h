#pragma once

#include <optional>
#include <string_view>

#include "core/Time.h"
#include "core/UsageCounters.h"

namespace quorvin::UsageCostEstimator {

// US dollars per 1,000,000 tokens, one rate per counter.
struct Price {
  double input = 0;
  double output = 0;
  double cacheRead = 0;
  double cacheWrite = 0;
  bool operator==(const Price&) const = default;
};

// List price of a free-form model name or model label ("[openclaw] o3" is priced as
// "o3"). Names marked free cost nothing; then the model catalogue built into the program
// (genai-prices data, see scripts/update-prices) decides by its own rules; names it does
// not list fall back to family words, so that new versions of a known family are still
// priced. No model, no price; a known-free model has a real price of zero. The rates are
// those below any input-size tier, in force when the catalogue was retrieved.
std::optional<Price> price(std::optional<std::string_view> model);

// Cost in US dollars of counters that may add up many requests (so no input-size tier
// applies); 0 without a price, never negative or non-finite.
double estimate(const UsageCounters& counters, std::optional<std::string_view> model);

// Cost in US dollars of one request made at `at`: the rates in force at that time, at the
// tier its input size (fresh input + cache read + cache write) reaches. 0 without a price,
// never negative or non-finite.
double estimateRequest(const UsageCounters& counters, std::optional<std::string_view> model, WallTime at);

}  // namespace quorvin::UsageCostEstimator
