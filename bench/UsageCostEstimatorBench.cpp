// Cost of pricing one usage event, as the live oracle does for every log line: the model
// catalogue with its per-name cache against the family table alone (lower-casing the
// name and testing family words on every event, as pricing did before the catalogue).
// Prints one "name: value unit" line per figure; exits non-zero on an unpriced event.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "usage/EmbeddedModelPrices.h"
#include "usage/FamilyPriceTable.h"
#include "usage/ModelPricer.h"
#include "usage/UsageCostEstimator.h"

namespace {

using namespace quorvin;

constexpr int kRepeats = 7;
constexpr size_t kEvents = 1'000'000;

// The labels live collection produces most, weighted roughly as a heavy user's logs.
const char* const kLabels[] = {
    "claude-opus-4-6", "claude-opus-4-6", "claude-opus-4-6", "claude-sonnet-4-5-20250929", "claude-haiku-4-5-20251001",
    "gpt-5.3-codex",   "gpt-5.3-codex",   "gpt-5.2",         "gemini-2.5-pro",             "[openclaw] o3",
    "kimi",            "grok-code-fast-1", "codex",          "Grok model unknown",         "deepseek-chat",
    "qwen3-coder",
};

// The names point at the few labels, as an event's freshly parsed label sits in cache:
// the figures are the pricing's, not the memory traffic of a million strings.
struct Event {
  UsageCounters counters;
  std::string_view model;
};

std::vector<Event> events() {
  std::vector<Event> out;
  out.reserve(kEvents);
  uint64_t x = 88172645463325252ull;  // xorshift: the same events on every run
  for (size_t i = 0; i < kEvents; ++i) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    out.push_back({{int64_t(x % 4000), int64_t((x >> 12) % 2000), int64_t((x >> 24) % 250'000), int64_t((x >> 40) % 8000)},
                   kLabels[(x >> 50) % std::size(kLabels)]});
  }
  return out;
}

double tableCost(const Event& e) {
  std::string lowered(e.model);
  std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                 [](unsigned char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : char(c); });
  auto rates = FamilyPriceTable::price(lowered);
  if (!rates) return 0;
  auto tokens = [](int64_t n) { return double(std::max<int64_t>(n, 0)); };
  return (rates->input * tokens(e.counters.input) + rates->output * tokens(e.counters.output) +
          rates->cacheRead * tokens(e.counters.cacheRead) + rates->cacheWrite * tokens(e.counters.cacheWrite)) /
         1e6;
}

template <typename Body>
double timed(Body&& body) {
  auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
  const auto all = events();
  const WallTime at = std::chrono::system_clock::now();
  double tableSeconds = 1e30, catalogueSeconds = 1e30, tableSum = 0, catalogueSum = 0;
  UsageCostEstimator::price("warm-up");  // parse the built-in catalogue outside the timing
  // Alternating, best of kRepeats each, so other work on the machine weighs on both alike.
  for (int r = 0; r < kRepeats; ++r) {
    tableSeconds = std::min(tableSeconds, timed([&] {
                              tableSum = 0;
                              for (const auto& e : all) tableSum += tableCost(e);
                            }));
    catalogueSeconds = std::min(catalogueSeconds, timed([&] {
                                  catalogueSum = 0;
                                  for (const auto& e : all) {
                                    catalogueSum += UsageCostEstimator::estimateRequest(e.counters, e.model, at);
                                  }
                                }));
  }
  // A name seen for the first time walks the catalogue's rules, regular expressions included.
  double parseSeconds = timed([] { ModelPricer::fromJson(embeddedModelPrices()); });
  auto pricer = ModelPricer::fromJson(embeddedModelPrices());
  double firstSeconds = timed([&] {
    for (const char* label : kLabels) pricer.price(label);
  });

  std::printf("events: %zu\n", all.size());
  std::printf("family table per event: %.1f ns\n", tableSeconds / double(all.size()) * 1e9);
  std::printf("catalogue per event: %.1f ns\n", catalogueSeconds / double(all.size()) * 1e9);
  std::printf("catalogue to family table: %.2f ratio\n", catalogueSeconds / tableSeconds);
  std::printf("first lookup of a name: %.1f us\n", firstSeconds / double(std::size(kLabels)) * 1e6);
  std::printf("catalogue parse: %.2f ms\n", parseSeconds * 1e3);
  std::printf("cost of the events, family table: %.2f USD\n", tableSum);
  std::printf("cost of the events, catalogue: %.2f USD\n", catalogueSum);
  return tableSum > 0 && catalogueSum > 0 ? 0 : 1;
}
