#include "usage/PriceCatalogue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/Log.h"
#include "usage/ModelPricer.h"

namespace quorvin {
namespace {

using namespace std::chrono;
using Price = UsageCostEstimator::Price;

std::string catalogue(const std::string& providers) {
  return R"({"version":"1.2.3","retrieved":"2026-06-01","providers":[)" + providers + "]}";
}

PriceCatalogue parsed(const std::string& providers) {
  auto result = PriceCatalogue::parse(catalogue(providers));
  EXPECT_TRUE(result) << providers;
  return result ? std::move(*result) : PriceCatalogue{};
}

std::string modelOf(const PriceCatalogue& c, std::string_view name) {
  const auto* model = c.find(name);
  return model ? model->id : "";
}

TEST(PriceCatalogue, RulesMatchAsTheCatalogueDefinesThem) {
  auto c = parsed(R"j({"id":"p","model_match":{"contains":""},"models":[
    {"id":"eq","match":{"equals":"exact"},"prices":[{"input":1}]},
    {"id":"sw","match":{"starts_with":"pre"},"prices":[{"input":1}]},
    {"id":"ew","match":{"ends_with":"-post"},"prices":[{"input":1}]},
    {"id":"ct","match":{"contains":"mid"},"prices":[{"input":1}]},
    {"id":"re","match":{"regex":"x\\d{2}$"},"prices":[{"input":1}]},
    {"id":"and","match":{"and":[{"starts_with":"a-"},{"regex":"^(?!.*-tts)"}]},"prices":[{"input":1}]},
    {"id":"or","match":{"or":[{"equals":"one"},{"equals":"two"}]},"prices":[{"input":1}]}]})j");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"exact", "eq"},   {"exact-1", ""},   {"prefix", "sw"}, {"xpre", ""},       {"x-post", "ew"},
      {"x-postx", ""},   {"a-mid-b", "ct"}, {"ax12", "re"},   {"x123", ""},       {"a-model", "and"},
      {"a-tts-1", ""},   {"two", "or"},     {"three", ""},
  };
  for (const auto& [name, id] : cases) EXPECT_EQ(modelOf(c, name), id) << name;
}

TEST(PriceCatalogue, TheFirstProviderClaimingANameDecidesAndAPrefixNamesTheProvider) {
  auto c = parsed(R"({"id":"first","model_match":{"starts_with":"m-"},"models":[
      {"id":"first-a","match":{"equals":"m-a"},"prices":[{"input":1}]}]},
    {"id":"second","provider_match":{"contains":"vendor"},"model_match":{"starts_with":"m-"},
     "fallback_model_providers":["first"],"models":[
      {"id":"second-a","match":{"equals":"m-a"},"prices":[{"input":2}]},
      {"id":"second-b","match":{"equals":"m-b"},"prices":[{"input":2}]}]},
    {"id":"dated","model_match":{"starts_with":"d-"},"models":[
      {"id":"d","match":{"equals":"d-2024-08-06"},"prices":[{"input":1}]}]})");
  EXPECT_EQ(modelOf(c, "m-a"), "first-a");
  // Claimed by "first", which does not list it: another provider's entry is not used.
  EXPECT_EQ(modelOf(c, "m-b"), "");
  EXPECT_EQ(modelOf(c, "second/m-a"), "second-a");
  EXPECT_EQ(modelOf(c, "the-vendor/m-b"), "second-b");
  EXPECT_EQ(modelOf(c, "unknown/m-a"), "first-a");
  EXPECT_EQ(modelOf(c, "unknown/m-b"), "");
  EXPECT_EQ(modelOf(c, "second/m-x"), "");
  EXPECT_EQ(modelOf(c, "router/second/m-a"), "second-a");
  EXPECT_EQ(modelOf(c, "router/m-a"), "first-a");
  // A name the provider lacks is looked up in its fallback providers.
  auto fallback = parsed(R"({"id":"host","model_match":{"starts_with":"m-"},"fallback_model_providers":["maker"],
      "models":[]},{"id":"maker","models":[{"id":"m","match":{"equals":"m-z"},"prices":[{"input":1}]}]})");
  EXPECT_EQ(modelOf(fallback, "m-z"), "m");
  // Compact date suffixes are also tried dashed, when they are real dates.
  EXPECT_EQ(modelOf(c, "d-20240806"), "d");
  EXPECT_EQ(modelOf(c, "d-20241306"), "");
  EXPECT_EQ(modelOf(c, "d-20240806x"), "");
}

TEST(PriceCatalogue, TheLastEntryInForceWinsAndOmittedCacheRatesAreTheInputRate) {
  auto c = parsed(R"({"id":"p","model_match":{"contains":""},"models":[
    {"id":"m","match":{"equals":"m"},"prices":[
      {"input":1,"output":2},
      {"start_date":"2026-03-13","input":3,"output":4,"cache_read":0.3,"cache_write":3.75},
      {"start_second":79200,"end_second":7200,"input":5,"output":6,"cache_read":0.5}]},
    {"id":"t","match":{"equals":"t"},"prices":[
      {"input":{"base":1,"tiers":[{"start":1000,"price":2},{"start":100,"price":1.5}]},"output":10}]}]})");
  const auto& m = *c.find("m");
  auto at = [](year_month_day day, hours h, minutes min = minutes(0)) { return sys_days{day} + h + min; };
  EXPECT_EQ(c.price(m, at(2026y / 3 / 12, 12h), 0), (Price{1, 2, 1, 1}));
  EXPECT_EQ(c.price(m, at(2026y / 3 / 13, 12h), 0), (Price{3, 4, 0.3, 3.75}));
  // 22:00 to 02:00 UTC wraps past midnight.
  EXPECT_EQ(c.price(m, at(2026y / 3 / 1, 23h), 0), (Price{5, 6, 0.5, 5}));
  EXPECT_EQ(c.price(m, at(2026y / 3 / 1, 1h, 59min), 0), (Price{5, 6, 0.5, 5}));
  EXPECT_EQ(c.price(m, at(2026y / 3 / 1, 2h), 0), (Price{1, 2, 1, 1}));
  // Without a time: the day the catalogue was retrieved, no time-of-day entry.
  EXPECT_EQ(c.price(m, std::nullopt, 0), (Price{3, 4, 0.3, 3.75}));

  const auto& t = *c.find("t");
  EXPECT_EQ(c.price(t, std::nullopt, 100).input, 1);
  EXPECT_EQ(c.price(t, std::nullopt, 101).input, 1.5);  // tiers are read in ascending order
  EXPECT_EQ(c.price(t, std::nullopt, 1001), (Price{2, 10, 2, 2}));
}

TEST(PriceCatalogue, ADamagedFileIsRefusedWhole) {
  const std::string model = R"({"id":"m","match":{"equals":"m"},"prices":[{"input":1}]})";
  auto provider = [](const std::string& models) { return R"({"id":"p","models":[)" + models + "]}"; };
  EXPECT_TRUE(PriceCatalogue::parse(catalogue(provider(model))));
  const std::vector<std::string> damaged = {
      "",
      "{",
      "[]",
      R"({"version":"1","providers":[]})",                       // no retrieval day
      R"({"version":"1","retrieved":"2026-02-30","providers":[]})",  // not a calendar day
      catalogue(provider(model) + ",7"),
      catalogue(provider(model + R"(,{"id":"n","match":{"equals":"n"},"prices":[]})")),
      catalogue(provider(R"({"id":"m","match":{"glob":"m*"},"prices":[{"input":1}]})")),
      catalogue(provider(R"({"id":"m","match":{"regex":"(unclosed"},"prices":[{"input":1}]})")),
      catalogue(provider(R"({"id":"m","match":{"or":[]},"prices":[{"input":1}]})")),
      catalogue(provider(R"({"id":"m","match":{"equals":"m"},"prices":[{"input":-1}]})")),
      catalogue(provider(R"({"id":"m","match":{"equals":"m"},"prices":[{"input":"1"}]})")),
      catalogue(provider(R"({"id":"m","match":{"equals":"m"},"prices":[{"input":{"base":1,"tiers":[{"start":-5,"price":2}]}}]})")),
      catalogue(provider(R"({"id":"m","match":{"equals":"m"},"prices":[{"start_second":90000,"end_second":1,"input":1}]})")),
  };
  for (const auto& text : damaged) EXPECT_FALSE(PriceCatalogue::parse(text)) << text;
}

TEST(ModelPricer, WithoutACatalogueEveryNameGoesToTheFamilyTableAndTheFailureIsLogged) {
  std::vector<std::string> lines;
  ScopedLogCapture capture([&lines](std::string_view line) { lines.emplace_back(line); });
  auto pricer = ModelPricer::fromJson(R"({"version":"1","providers":)");
  EXPECT_EQ(pricer.catalogue(), nullptr);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(pricer.price("claude-opus-4-6"), (Price{15, 75, 1.5, 18.75}));
  EXPECT_DOUBLE_EQ(pricer.estimateRequest({1'000'000, 0, 0, 0}, "[openclaw] o3", system_clock::now()), 2);
  EXPECT_FALSE(pricer.price("llama"));
}

TEST(ModelPricer, RepeatedAndManyDistinctNamesKeepTheirPrices) {
  ModelPricer pricer(PriceCatalogue::parse(catalogue(R"({"id":"p","model_match":{"starts_with":"m"},"models":[
      {"id":"m","match":{"equals":"m"},"prices":[{"input":7,"output":8}]}]})")));
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(pricer.price("M"), (Price{7, 8, 7, 7}));
    EXPECT_EQ(pricer.price(" m "), (Price{7, 8, 7, 7}));
    EXPECT_EQ(pricer.price("opus"), (Price{15, 75, 1.5, 18.75}));
  }
  // Past the cache's bound the answers stay the same.
  for (int i = 0; i < 10'000; ++i) pricer.price("unknown-" + std::to_string(i));
  EXPECT_EQ(pricer.price("M"), (Price{7, 8, 7, 7}));
  EXPECT_FALSE(pricer.price("unknown-3"));
}

}  // namespace
}  // namespace quorvin
