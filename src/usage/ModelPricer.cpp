#include "usage/ModelPricer.h"

#include <algorithm>
#include <cmath>

#include "core/Log.h"
#include "core/SaturatingMath.h"
#include "usage/FamilyPriceTable.h"

namespace quorvin {

namespace {

// Distinct names are few in practice; the bound keeps a log full of made-up names from
// growing the cache without end.
constexpr size_t kMaxCachedNames = 4096;
// Longer names are nobody's model; they also keep std::regex's recursion shallow.
constexpr size_t kMaxCatalogueName = 256;

// "[openclaw] o3" is priced as "o3": a bracketed source tag in front of a label is not
// part of the model's name.
std::string_view withoutSourceTag(std::string_view label) {
  if (!label.starts_with('[')) return label;
  size_t close = label.find("] ");
  return close == std::string_view::npos ? label : label.substr(close + 2);
}

std::string normalised(std::string_view model) {
  std::string_view name = withoutSourceTag(model);
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!name.empty() && space(name.front())) name.remove_prefix(1);
  while (!name.empty() && space(name.back())) name.remove_suffix(1);
  std::string lowered(name);
  // ASCII only: every rule of the catalogue and the table is ASCII.
  std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                 [](unsigned char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : char(c); });
  return lowered;
}

int64_t positive(int64_t n) { return std::max<int64_t>(n, 0); }

double cost(const UsageCostEstimator::Price& rates, const UsageCounters& counters) {
  auto tokens = [](int64_t n) { return static_cast<double>(positive(n)); };
  double total = (rates.input * tokens(counters.input) + rates.output * tokens(counters.output) +
                  rates.cacheRead * tokens(counters.cacheRead) + rates.cacheWrite * tokens(counters.cacheWrite)) /
                 1'000'000.0;
  return std::isfinite(total) && total > 0 ? total : 0;
}

}  // namespace

ModelPricer::ModelPricer(std::optional<PriceCatalogue> catalogue) : catalogue_(std::move(catalogue)) {}

ModelPricer ModelPricer::fromJson(std::string_view json) {
  auto catalogue = PriceCatalogue::parse(json);
  if (!catalogue) logLine("Quorvin could not read its model price catalogue; prices come from the family table");
  return ModelPricer(std::move(catalogue));
}

ModelPricer::Resolved ModelPricer::resolve(std::string_view model) const {
  std::string name = normalised(model);
  Resolved result;
  if (FamilyPriceTable::knownFree(name)) {
    result.table = Price{0, 0, 0, 0};
    return result;
  }
  if (catalogue_ && name.size() <= kMaxCatalogueName) result.model = catalogue_->find(name);
  if (!result.model) result.table = FamilyPriceTable::price(name);
  return result;
}

ModelPricer::Resolved ModelPricer::resolved(std::string_view model) const {
  {
    std::lock_guard lock(mutex_);
    if (auto it = cache_.find(model); it != cache_.end()) return it->second;
  }
  // Resolved outside the lock: a regex search is slow next to a map lookup, and two
  // threads resolving the same new name reach the same answer.
  Resolved result = resolve(model);
  std::lock_guard lock(mutex_);
  if (cache_.size() >= kMaxCachedNames) cache_.clear();
  cache_.emplace(std::string(model), result);
  return result;
}

std::optional<ModelPricer::Price> ModelPricer::rates(std::string_view model, std::optional<WallTime> at,
                                                     int64_t inputTokens) const {
  Resolved found = resolved(model);
  if (found.model) return catalogue_->price(*found.model, at, inputTokens);
  return found.table;
}

std::optional<ModelPricer::Price> ModelPricer::price(std::string_view model) const {
  return rates(model, std::nullopt, 0);
}

double ModelPricer::estimate(const UsageCounters& counters, std::string_view model) const {
  auto found = rates(model, std::nullopt, 0);
  return found ? cost(*found, counters) : 0;
}

double ModelPricer::estimateRequest(const UsageCounters& counters, std::string_view model, WallTime at) const {
  int64_t input = saturatingAdd(saturatingAdd(positive(counters.input), positive(counters.cacheRead)),
                                positive(counters.cacheWrite));
  auto found = rates(model, at, input);
  return found ? cost(*found, counters) : 0;
}

}  // namespace quorvin
