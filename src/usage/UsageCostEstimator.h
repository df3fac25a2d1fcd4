#pragma once

#include <optional>
#include <string_view>

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

// List price of a free-form model name, matched by family substrings so that new
// versions of a known family are priced without a table change. No model, no price;
// a known-free model has a real price of zero.
std::optional<Price> price(std::optional<std::string_view> model);

// Cost in US dollars; 0 without a price, never negative or non-finite.
double estimate(const UsageCounters& counters, std::optional<std::string_view> model);

}  // namespace quorvin::UsageCostEstimator
