#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/Time.h"
#include "core/UsageCounters.h"
#include "usage/PriceCatalogue.h"
#include "usage/UsageCostEstimator.h"

namespace quorvin {

// Prices model names: the known-free names first, then the model catalogue, then the
// family table. Each distinct name is resolved once and remembered, since pricing runs
// for every usage event and the same few names recur. Thread-safe.
class ModelPricer {
 public:
  using Price = UsageCostEstimator::Price;

  // Without a catalogue every name goes to the family table.
  explicit ModelPricer(std::optional<PriceCatalogue> catalogue);
  // Parses the catalogue text; an unreadable one is logged once and leaves the table.
  static ModelPricer fromJson(std::string_view json);

  ModelPricer(const ModelPricer&) = delete;
  ModelPricer& operator=(const ModelPricer&) = delete;

  // Rates below every input tier, as listed on the day the catalogue was retrieved.
  std::optional<Price> price(std::string_view model) const;
  // Cost of counters that add up many requests: rates below every input tier.
  double estimate(const UsageCounters& counters, std::string_view model) const;
  // Cost of one request made at `at`: the rates in force then, at the tier of its input
  // size (fresh input + cache read + cache write).
  double estimateRequest(const UsageCounters& counters, std::string_view model, WallTime at) const;

  const PriceCatalogue* catalogue() const { return catalogue_ ? &*catalogue_ : nullptr; }

 private:
  struct Resolved {
    const PriceCatalogue::Model* model = nullptr;  // in catalogue_, which never changes
    std::optional<Price> table;
  };
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const noexcept { return std::hash<std::string_view>{}(name); }
  };

  Resolved resolved(std::string_view model) const;
  Resolved resolve(std::string_view model) const;
  std::optional<Price> rates(std::string_view model, std::optional<WallTime> at, int64_t inputTokens) const;

  std::optional<PriceCatalogue> catalogue_;
  mutable std::mutex mutex_;
  mutable std::unordered_map<std::string, Resolved, NameHash, std::equal_to<>> cache_;
};

}  // namespace quorvin
