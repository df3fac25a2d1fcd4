#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/Time.h"
#include "usage/PriceMatchRule.h"
#include "usage/UsageCostEstimator.h"

namespace quorvin {

// The model list prices the program carries (src/usage/data/model-prices.json, made by
// scripts/update-prices from the genai-prices catalogue): providers, each with the
// rules that recognise its model names and, per model, dated or time-of-day price
// entries whose rates may step up with the size of a request's input. Immutable once
// parsed; safe to read from any thread.
class PriceCatalogue {
 public:
  // US dollars per 1,000,000 tokens; a request whose input (fresh + cache read + cache
  // write) exceeds a tier's start pays that tier's rate for all its tokens.
  struct Rate {
    double base = 0;
    std::vector<std::pair<int64_t, double>> tiers;  // (start, rate), ascending starts
    double at(int64_t inputTokens) const;
  };

  // One price entry of a model and when it applies: always, from a day on (UTC), or in a
  // daily window of seconds after midnight UTC (the end may wrap past midnight).
  struct Entry {
    enum class When { always, fromDay, timeOfDay };
    When when = When::always;
    std::chrono::sys_days fromDay{};
    int32_t startSecond = 0;
    int32_t endSecond = 0;
    std::optional<Rate> input, output, cacheRead, cacheWrite;
  };

  struct Model {
    std::string id;
    PriceMatchRule match;
    std::vector<Entry> entries;  // the last entry that applies wins; the first is the default
  };

  struct Provider {
    std::string id;
    std::optional<PriceMatchRule> providerMatch;  // recognises a "provider/" name prefix
    std::optional<PriceMatchRule> modelMatch;     // recognises the provider's model names
    std::vector<std::string> fallbackProviders;   // searched for names it does not list itself
    std::vector<Model> models;
  };

  // No value for text that is not a complete, well-formed catalogue: a damaged file must
  // not price some names by a rule that a skipped, more specific one would have beaten.
  static std::optional<PriceCatalogue> parse(std::string_view json);

  // The model for a lower-cased name, or none. A "provider/model" name is looked up under
  // that provider first; otherwise the first provider whose model rule matches decides;
  // failing both, the name without its first "prefix/" is tried the same way. A
  // -YYYYMMDD date suffix is also tried as -YYYY-MM-DD, as some entries spell it.
  const Model* find(std::string_view lowered) const;

  // Rates of one request of `inputTokens` total input made at `at`. Without a time, the
  // rates in force on the day the catalogue was retrieved, ignoring time-of-day entries.
  // A cache rate the catalogue omits is the input rate (the provider bills those tokens
  // as plain input); a missing input or output rate is 0.
  UsageCostEstimator::Price price(const Model& model, std::optional<WallTime> at, int64_t inputTokens) const;

  const std::string& version() const { return version_; }
  std::chrono::sys_days retrieved() const { return retrieved_; }
  size_t modelCount() const;

 private:
  const Provider* providerNamed(std::string_view prefix) const;
  const Model* findIn(const Provider& provider, std::string_view lowered) const;
  const Model* findInProviderOrFallbacks(const Provider& provider, std::string_view lowered) const;

  std::string version_;
  std::chrono::sys_days retrieved_{};
  std::vector<Provider> providers_;
};

}  // namespace quorvin
