// The parser over generated sessions that look like real Claude Code and Codex logs:
// content blocks and streaming snapshots of one message, sub-agent reports with their
// own usage, repeated and reset Codex counters, a fork's replayed history.
#include <gtest/gtest.h>

#include <string>

#include "corpus/LogCorpus.h"
#include "usage/UsageLogParser.h"

namespace quorvin {
namespace {

using namespace std::chrono_literals;

const WallTime kStart = *parseIso8601Either("2026-03-01T09:00:00Z");

template <typename Generator>
UsageCounters parseAll(Generator& generator, UsageSource source, size_t bytes) {
  std::string text;
  generator.append(text, bytes);
  UsageParserState state;
  UsageCounters sum;
  size_t from = 0;
  while (from < text.size()) {
    const size_t newline = text.find('\n', from);
    const std::string_view line(text.data() + from, newline - from);
    from = newline + 1;
    if (auto event = UsageLogParser::parse(line, source, state)) sum += event->counters;
  }
  return sum;
}

TEST(UsageLogParserCorpus, ClaudeSessionsSumToTheirGroundTruth) {
  for (uint64_t seed : {1, 2, 3}) {
    bench::ClaudeSessionGenerator generator(seed, kStart);
    EXPECT_EQ(parseAll(generator, UsageSource::claude, 2u << 20), generator.truth().counters) << seed;
    EXPECT_GT(generator.truth().usageLines, 100u);
  }
}

TEST(UsageLogParserCorpus, CodexRolloutsSumToTheirGroundTruth) {
  for (bool fork : {false, true}) {
    bench::CodexSessionGenerator generator(fork ? 7 : 8, kStart, fork);
    EXPECT_EQ(parseAll(generator, UsageSource::codex, 2u << 20), generator.truth().counters) << fork;
  }
}

}  // namespace
}  // namespace quorvin
