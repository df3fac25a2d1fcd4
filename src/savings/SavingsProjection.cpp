// The estimated value of savings: a pure function of the model mix and RTK's report.
#include <algorithm>
#include <cmath>
#include <limits>

#include "core/SaturatingMath.h"
#include "savings/TokenSavingsAdvisor.h"
#include "usage/UsageCostEstimator.h"

namespace quorvin::TokenSavingsAdvisor {

TokenSavingsProjection projection(const std::vector<API::ModelRow>& models, int64_t inputTotal,
                                  const TokenSavingsSnapshot& snapshot, double scenarioReduction) {
  const double share = std::isfinite(scenarioReduction) ? std::clamp(scenarioReduction, 0.0, 1.0) : 0.0;

  int64_t pricedInput = 0;
  double pricedValue = 0;
  int64_t rowsInput = 0;
  for (const auto& row : models) {
    const int64_t input = std::max<int64_t>(row.input, 0);
    rowsInput = saturatingAdd(rowsInput, input);
    const auto price = UsageCostEstimator::price(row.name);
    if (!price) continue;
    pricedInput = saturatingAdd(pricedInput, input);
    pricedValue += price->input * static_cast<double>(input) / 1'000'000.0;
  }
  const int64_t observed = std::max<int64_t>(std::max(inputTotal, rowsInput), 0);

  TokenSavingsProjection result;
  result.inputPriceCoverage =
      observed >= 1 ? std::min(static_cast<double>(pricedInput) / static_cast<double>(observed), 1.0) : 0.0;
  const double pricePerToken = pricedInput > 0 ? pricedValue / static_cast<double>(pricedInput) : 0.0;

  if (snapshot.savedTokens > 0) {
    result.tokens = snapshot.savedTokens;
    result.measured = true;
  } else {
    const double scenario = std::floor(static_cast<double>(observed) * share);
    // observed * share never exceeds observed, but the double may round just past 2^63.
    result.tokens = scenario >= 9.2e18 ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(scenario);
  }
  result.tokens = std::max<int64_t>(result.tokens, 0);

  const double value = pricePerToken * static_cast<double>(result.tokens);
  result.estimatedUSD = std::isfinite(value) && value > 0 ? value : 0.0;
  return result;
}

}  // namespace quorvin::TokenSavingsAdvisor
