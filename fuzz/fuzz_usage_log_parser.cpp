// Agent log lines are outside data: any bytes, any source, with or without the oracle's
// context, must neither crash nor yield a negative or empty event.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "usage/UsageEventLedger.h"
#include "usage/UsageLogParser.h"

using namespace quorvin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // First byte: the source and whether the oracle's context is in use.
  const UsageSource source = allUsageSources[data[0] % allUsageSources.size()];
  const bool withContext = (data[0] / allUsageSources.size()) % 2 == 1;
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);

  UsageEventLedger ledger(std::chrono::hours(6), 8);
  UsageLogParser::Context context;
  context.claudeNotBefore = *parseIso8601Either("2026-03-01T10:00:00Z");
  context.claudeLedger = &ledger;
  context.now = *context.claudeNotBefore;

  UsageParserState state;
  while (!rest.empty()) {
    const size_t newline = rest.find('\n');
    const std::string_view line = rest.substr(0, newline);
    rest = newline == std::string_view::npos ? std::string_view{} : rest.substr(newline + 1);
    auto event = withContext ? UsageLogParser::parse(line, source, state, context)
                             : UsageLogParser::parse(line, source, state);
    context.now += std::chrono::minutes(30);
    if (!event) continue;
    const UsageCounters& c = event->counters;
    if (c.input < 0 || c.output < 0 || c.cacheRead < 0 || c.cacheWrite < 0 || c.total() < 1) __builtin_trap();
  }
  return 0;
}
