#include "usage/PriceCatalogue.h"

#include <algorithm>
#include <boost/json.hpp>
#include <charconv>
#include <cmath>

namespace quorvin {

namespace json = boost::json;

namespace {

std::optional<double> nonNegativeNumber(const json::value* value) {
  if (!value || !value->is_number()) return std::nullopt;
  boost::system::error_code error;
  double number = value->to_number<double>(error);
  if (error || !std::isfinite(number) || number < 0) return std::nullopt;
  return number;
}

std::optional<std::string> text(const json::object& object, std::string_view key) {
  const auto* value = object.if_contains(key);
  if (!value || !value->is_string()) return std::nullopt;
  return std::string(value->get_string());
}

// "YYYY-MM-DD", a real calendar day.
std::optional<std::chrono::sys_days> calendarDay(std::string_view day) {
  if (day.size() != 10 || day[4] != '-' || day[7] != '-') return std::nullopt;
  int y = 0;
  unsigned m = 0, d = 0;
  auto field = [&day](size_t at, size_t length, auto& out) {
    auto [end, error] = std::from_chars(day.data() + at, day.data() + at + length, out);
    return error == std::errc{} && end == day.data() + at + length;
  };
  if (!field(0, 4, y) || !field(5, 2, m) || !field(8, 2, d)) return std::nullopt;
  std::chrono::year_month_day ymd{std::chrono::year{y}, std::chrono::month{m}, std::chrono::day{d}};
  if (!ymd.ok()) return std::nullopt;
  return std::chrono::sys_days{ymd};
}

// A rate is a number or {"base": n, "tiers": [{"start": n, "price": n}, ...]}; absent is
// fine, anything else is a damaged file.
bool parseRate(const json::object& prices, std::string_view key, std::optional<PriceCatalogue::Rate>& out) {
  const auto* value = prices.if_contains(key);
  if (!value) return true;
  PriceCatalogue::Rate rate;
  if (auto flat = nonNegativeNumber(value)) {
    rate.base = *flat;
    out = std::move(rate);
    return true;
  }
  const auto* tiered = value->if_object();
  if (!tiered) return false;
  auto base = nonNegativeNumber(tiered->if_contains("base"));
  const auto* tiers = tiered->contains("tiers") ? tiered->at("tiers").if_array() : nullptr;
  if (!base || !tiers) return false;
  rate.base = *base;
  for (const auto& item : *tiers) {
    const auto* tier = item.if_object();
    if (!tier) return false;
    const auto* start = tier->if_contains("start");
    auto price = nonNegativeNumber(tier->if_contains("price"));
    if (!start || !price) return false;
    int64_t first = 0;
    if (start->is_int64() && start->get_int64() >= 0) {
      first = start->get_int64();
    } else if (start->is_uint64()) {
      first = INT64_MAX;  // beyond any request
    } else {
      return false;
    }
    rate.tiers.emplace_back(first, *price);
  }
  std::sort(rate.tiers.begin(), rate.tiers.end());
  out = std::move(rate);
  return true;
}

std::optional<PriceCatalogue::Entry> parseEntry(const json::value& value) {
  const auto* object = value.if_object();
  if (!object) return std::nullopt;
  PriceCatalogue::Entry entry;
  if (auto day = text(*object, "start_date")) {
    auto parsed = calendarDay(*day);
    if (!parsed) return std::nullopt;
    entry.when = PriceCatalogue::Entry::When::fromDay;
    entry.fromDay = *parsed;
  } else if (object->contains("start_second") || object->contains("end_second")) {
    const auto* start = object->if_contains("start_second");
    const auto* end = object->if_contains("end_second");
    auto inDay = [](const json::value* v) { return v && v->is_int64() && v->get_int64() >= 0 && v->get_int64() < 86400; };
    if (!inDay(start) || !inDay(end)) return std::nullopt;
    entry.when = PriceCatalogue::Entry::When::timeOfDay;
    entry.startSecond = static_cast<int32_t>(start->get_int64());
    entry.endSecond = static_cast<int32_t>(end->get_int64());
  }
  if (!parseRate(*object, "input", entry.input) || !parseRate(*object, "output", entry.output) ||
      !parseRate(*object, "cache_read", entry.cacheRead) || !parseRate(*object, "cache_write", entry.cacheWrite)) {
    return std::nullopt;
  }
  return entry;
}

std::optional<PriceCatalogue::Model> parseModel(const json::value& value) {
  const auto* object = value.if_object();
  if (!object) return std::nullopt;
  auto id = text(*object, "id");
  const auto* match = object->if_contains("match");
  const auto* prices = object->contains("prices") ? object->at("prices").if_array() : nullptr;
  if (!id || !match || !prices || prices->empty()) return std::nullopt;
  auto rule = PriceMatchRule::fromJson(*match);
  if (!rule) return std::nullopt;
  PriceCatalogue::Model model{std::move(*id), std::move(*rule), {}};
  for (const auto& item : *prices) {
    auto entry = parseEntry(item);
    if (!entry) return std::nullopt;
    model.entries.push_back(std::move(*entry));
  }
  return model;
}

std::optional<PriceCatalogue::Provider> parseProvider(const json::value& value) {
  const auto* object = value.if_object();
  if (!object) return std::nullopt;
  PriceCatalogue::Provider provider;
  auto id = text(*object, "id");
  const auto* models = object->contains("models") ? object->at("models").if_array() : nullptr;
  if (!id || !models) return std::nullopt;
  provider.id = std::move(*id);
  auto optionalRule = [object](std::string_view key, std::optional<PriceMatchRule>& slot) {
    const auto* rule = object->if_contains(key);
    if (!rule) return true;
    slot = PriceMatchRule::fromJson(*rule);
    return slot.has_value();
  };
  if (!optionalRule("provider_match", provider.providerMatch) || !optionalRule("model_match", provider.modelMatch)) {
    return std::nullopt;
  }
  if (const auto* fallbacks = object->if_contains("fallback_model_providers")) {
    if (!fallbacks->is_array()) return std::nullopt;
    for (const auto& name : fallbacks->get_array()) {
      if (!name.is_string()) return std::nullopt;
      provider.fallbackProviders.emplace_back(name.get_string());
    }
  }
  for (const auto& item : *models) {
    auto model = parseModel(item);
    if (!model) return std::nullopt;
    provider.models.push_back(std::move(*model));
  }
  return provider;
}

// -YYYYMMDD (a real date, followed by "-", ":" or the end) becomes -YYYY-MM-DD.
std::string dashedDates(std::string_view name) {
  std::string out;
  size_t i = 0;
  while (i < name.size()) {
    bool eightDigits = name[i] == '-' && i + 9 <= name.size() && name.substr(i + 1, 2) == "20" &&
                       std::all_of(name.begin() + i + 1, name.begin() + i + 9, [](char c) { return c >= '0' && c <= '9'; });
    bool bounded = eightDigits && (i + 9 == name.size() || name[i + 9] == '-' || name[i + 9] == ':');
    if (bounded) {
      std::string dashed = std::string(name.substr(i + 1, 4)) + "-" + std::string(name.substr(i + 5, 2)) + "-" +
                           std::string(name.substr(i + 7, 2));
      if (calendarDay(dashed)) {
        out += '-';
        out += dashed;
        i += 9;
        continue;
      }
    }
    out += name[i++];
  }
  return out;
}

}  // namespace

double PriceCatalogue::Rate::at(int64_t inputTokens) const {
  double rate = base;
  for (const auto& [start, tierRate] : tiers) {
    if (inputTokens > start) rate = tierRate;
  }
  return rate;
}

std::optional<PriceCatalogue> PriceCatalogue::parse(std::string_view text) {
  boost::system::error_code error;
  json::value root = json::parse(json::string_view(text.data(), text.size()), error);
  const auto* object = error ? nullptr : root.if_object();
  if (!object) return std::nullopt;
  PriceCatalogue catalogue;
  auto version = quorvin::text(*object, "version");
  auto retrieved = quorvin::text(*object, "retrieved");
  auto day = retrieved ? calendarDay(*retrieved) : std::nullopt;
  const auto* providers = object->contains("providers") ? object->at("providers").if_array() : nullptr;
  if (!version || !day || !providers) return std::nullopt;
  catalogue.version_ = std::move(*version);
  catalogue.retrieved_ = *day;
  for (const auto& item : *providers) {
    auto provider = parseProvider(item);
    if (!provider) return std::nullopt;
    catalogue.providers_.push_back(std::move(*provider));
  }
  return catalogue;
}

size_t PriceCatalogue::modelCount() const {
  size_t count = 0;
  for (const auto& provider : providers_) count += provider.models.size();
  return count;
}

const PriceCatalogue::Provider* PriceCatalogue::providerNamed(std::string_view prefix) const {
  for (const auto& provider : providers_) {
    if (provider.id == prefix) return &provider;
  }
  for (const auto& provider : providers_) {
    if (provider.providerMatch && provider.providerMatch->matches(prefix)) return &provider;
  }
  return nullptr;
}

const PriceCatalogue::Model* PriceCatalogue::findIn(const Provider& provider, std::string_view lowered) const {
  for (const auto& model : provider.models) {
    if (model.match.matches(lowered)) return &model;
  }
  return nullptr;
}

const PriceCatalogue::Model* PriceCatalogue::findInProviderOrFallbacks(const Provider& provider,
                                                                       std::string_view lowered) const {
  auto search = [&](std::string_view name) -> const Model* {
    if (const auto* model = findIn(provider, name)) return model;
    // One level only: a fallback's own fallbacks are not searched.
    for (const auto& fallback : provider.fallbackProviders) {
      for (const auto& other : providers_) {
        if (other.id != fallback) continue;
        if (const auto* model = findIn(other, name)) return model;
      }
    }
    return nullptr;
  };
  if (const auto* model = search(lowered)) return model;
  std::string dashed = dashedDates(lowered);
  return dashed != lowered ? search(dashed) : nullptr;
}

const PriceCatalogue::Model* PriceCatalogue::find(std::string_view lowered) const {
  // Like the catalogue's own lookup, the first provider that claims a name decides:
  // another provider's rules were not written with this name in mind.
  auto claimedBy = [this](std::string_view name) -> const Provider* {
    for (const auto& provider : providers_) {
      if (provider.modelMatch && provider.modelMatch->matches(name)) return &provider;
    }
    return nullptr;
  };
  // "router/anthropic/claude-..." peels one prefix at a time.
  std::string_view name = lowered;
  for (;;) {
    size_t slash = name.find('/');
    bool prefixed = slash != std::string_view::npos && slash > 0 && slash + 1 < name.size();
    if (prefixed) {
      if (const auto* provider = providerNamed(name.substr(0, slash))) {
        if (const auto* model = findInProviderOrFallbacks(*provider, name.substr(slash + 1))) return model;
        if (const auto* model = findInProviderOrFallbacks(*provider, name)) return model;
      }
    }
    if (const auto* provider = claimedBy(name)) {
      if (const auto* model = findInProviderOrFallbacks(*provider, name)) return model;
    }
    if (!prefixed) return nullptr;
    name.remove_prefix(slash + 1);
  }
}

UsageCostEstimator::Price PriceCatalogue::price(const Model& model, std::optional<WallTime> at,
                                                int64_t inputTokens) const {
  using namespace std::chrono;
  sys_days day = at ? floor<days>(*at) : retrieved_;
  std::optional<int64_t> second;
  if (at) second = duration_cast<seconds>(*at - floor<days>(*at)).count();
  const Entry* chosen = &model.entries.front();
  for (auto it = model.entries.rbegin(); it != model.entries.rend(); ++it) {
    bool applies = false;
    switch (it->when) {
      case Entry::When::always:
        applies = true;
        break;
      case Entry::When::fromDay:
        applies = day >= it->fromDay;
        break;
      case Entry::When::timeOfDay:
        if (second) {
          applies = it->endSecond < it->startSecond ? (*second >= it->startSecond || *second < it->endSecond)
                                                    : (*second >= it->startSecond && *second < it->endSecond);
        }
        break;
    }
    if (applies) {
      chosen = &*it;
      break;
    }
  }
  auto rate = [inputTokens](const std::optional<Rate>& r) { return r ? r->at(inputTokens) : 0.0; };
  UsageCostEstimator::Price price;
  price.input = rate(chosen->input);
  price.output = rate(chosen->output);
  price.cacheRead = chosen->cacheRead ? rate(chosen->cacheRead) : price.input;
  price.cacheWrite = chosen->cacheWrite ? rate(chosen->cacheWrite) : price.input;
  return price;
}

}  // namespace quorvin
