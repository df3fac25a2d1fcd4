#include "usage/UsageCostEstimator.h"

#include "usage/EmbeddedModelPrices.h"
#include "usage/ModelPricer.h"

namespace quorvin::UsageCostEstimator {

namespace {

// Parsed once, on first use, from the bytes built into the program.
const ModelPricer& pricer() {
  static const ModelPricer instance = ModelPricer::fromJson(embeddedModelPrices());
  return instance;
}

}  // namespace

std::optional<Price> price(std::optional<std::string_view> model) {
  if (!model) return std::nullopt;
  return pricer().price(*model);
}

double estimate(const UsageCounters& counters, std::optional<std::string_view> model) {
  return model ? pricer().estimate(counters, *model) : 0;
}

double estimateRequest(const UsageCounters& counters, std::optional<std::string_view> model, WallTime at) {
  return model ? pricer().estimateRequest(counters, *model, at) : 0;
}

}  // namespace quorvin::UsageCostEstimator
