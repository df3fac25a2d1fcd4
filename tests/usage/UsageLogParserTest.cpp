#include "usage/UsageLogParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "usage/UsageEventLedger.h"

namespace quorvin {
namespace {

using UsageLogParser::parse;

struct LogRun {
  UsageParserState state;
  std::vector<UsageLogEvent> events;
  UsageCounters sum;

  void feed(UsageSource source, std::initializer_list<std::string> lines,
            const UsageLogParser::Context* context = nullptr) {
    for (const std::string& line : lines) {
      auto event = context ? parse(line, source, state, *context) : parse(line, source, state);
      if (event) {
        events.push_back(*event);
        sum += event->counters;
      }
    }
  }
};

std::string claudeLine(const std::string& messageId, const std::string& requestId, int input, int output,
                       int cacheRead = 0, int cacheWrite = 0, const std::string& timestamp = "2026-03-01T10:00:00.000Z") {
  std::string line = R"({"type":"assistant","timestamp":")" + timestamp + R"(",)";
  if (!requestId.empty()) line += R"("requestId":")" + requestId + R"(",)";
  line += R"("message":{)";
  if (!messageId.empty()) line += R"("id":")" + messageId + R"(",)";
  line += R"("model":"claude-sonnet-4-5","content":[{"type":"text","text":"hi"}],"usage":{"input_tokens":)" +
          std::to_string(input) + R"(,"output_tokens":)" + std::to_string(output) +
          R"(,"cache_read_input_tokens":)" + std::to_string(cacheRead) + R"(,"cache_creation_input_tokens":)" +
          std::to_string(cacheWrite) + "}}}";
  return line;
}

std::string codexCounter(int input, int cached, int output, int total,
                         const std::string& timestamp = "2026-03-01T10:00:30.000Z") {
  return R"({"timestamp":")" + timestamp + R"(","type":"event_msg","payload":{"type":"token_count","info":{"total_token_usage":{"input_tokens":)" +
         std::to_string(input) + R"(,"cached_input_tokens":)" + std::to_string(cached) + R"(,"output_tokens":)" +
         std::to_string(output) + R"(,"reasoning_output_tokens":0,"total_tokens":)" + std::to_string(total) + "}}}}";
}

// --- Claude Code ---------------------------------------------------------------------

TEST(UsageLogParserClaude, RepeatedBlocksCountOnceAndStreamingSnapshotsOnlyTheirGrowth) {
  LogRun run;
  const std::string block = claudeLine("msg_1", "req_1", 10, 1, 3000, 400);
  run.feed(UsageSource::claude, {block, block, claudeLine("msg_1", "req_1", 10, 90, 3000, 400),
                                 claudeLine("msg_1", "req_1", 10, 250, 3000, 400),
                                 // A later snapshot that reports less does not go backwards.
                                 claudeLine("msg_1", "req_1", 10, 200, 3000, 400)});
  ASSERT_EQ(run.events.size(), 3u);
  EXPECT_EQ(run.events[0], (UsageLogEvent{{10, 1, 3000, 400}, "claude-sonnet-4-5"}));
  EXPECT_EQ(run.sum, (UsageCounters{10, 250, 3000, 400}));
}

TEST(UsageLogParserClaude, IdentityIsMessageAndRequest) {
  LogRun run;
  run.feed(UsageSource::claude, {claudeLine("msg_1", "req_1", 10, 20),
                                 // Same message retried under a new request: a new call.
                                 claudeLine("msg_1", "req_2", 10, 20),
                                 // No request id at all: the message alone identifies it.
                                 claudeLine("msg_2", "", 5, 5), claudeLine("msg_2", "", 5, 5),
                                 // No message id: nothing to match on, counts in full each time.
                                 claudeLine("", "req_3", 1, 1), claudeLine("", "req_3", 1, 1)});
  EXPECT_EQ(run.sum, (UsageCounters{20 + 5 + 2, 40 + 5 + 2, 0, 0}));
}

TEST(UsageLogParserClaude, UnusableRequestIdMeansNoIdentifier) {
  LogRun nullRequest;  // null is no request id: the message alone identifies the line
  const std::string withNull = R"({"requestId":null,"message":{"id":"m","usage":{"input_tokens":1,"output_tokens":1}}})";
  nullRequest.feed(UsageSource::claude, {withNull, withNull});
  EXPECT_EQ(nullRequest.events.size(), 1u);

  LogRun run;
  const std::string emptyRequest =
      R"({"requestId":"","message":{"id":"m","usage":{"input_tokens":1,"output_tokens":1}}})";
  const std::string numericRequest =
      R"({"requestId":7,"message":{"id":"m","usage":{"input_tokens":1,"output_tokens":1}}})";
  run.feed(UsageSource::claude, {emptyRequest, emptyRequest, numericRequest, numericRequest});
  EXPECT_EQ(run.events.size(), 4u);
}

TEST(UsageLogParserClaude, LinesWithoutMessageUsageCountNothing) {
  LogRun run;
  run.feed(UsageSource::claude,
           {// A user line whose tool result carries an agent's usage: a decoy.
            R"({"type":"user","message":{"role":"user","content":[{"type":"tool_result","content":"done"}]},"toolUseResult":{"status":"completed","usage":{"input_tokens":500,"output_tokens":900}}})",
            // The same inside a tool result string (escaped quotes).
            R"({"type":"user","message":{"role":"user","content":[{"type":"tool_result","content":"{\"usage\":{\"input_tokens\":5}}"}]}})",
            // usage not an object, message not an object.
            R"({"message":{"usage":[1,2,3]}})", R"({"message":"usage"})",
            // all zero
            claudeLine("msg_z", "req_z", 0, 0)});
  EXPECT_TRUE(run.events.empty());
}

TEST(UsageLogParserClaude, SharedLedgerCountsAMessageOnceAcrossFiles) {
  UsageEventLedger ledger;
  UsageLogParser::Context context{std::nullopt, &ledger, WallTime{}};
  LogRun first, second;
  first.feed(UsageSource::claude, {claudeLine("msg_1", "req_1", 10, 20)}, &context);
  second.feed(UsageSource::claude, {claudeLine("msg_1", "req_1", 10, 20), claudeLine("msg_1", "req_1", 10, 35)}, &context);
  EXPECT_EQ(first.sum, (UsageCounters{10, 20, 0, 0}));
  EXPECT_EQ(second.sum, (UsageCounters{0, 15, 0, 0}));
  EXPECT_TRUE(second.state.seenEvents.empty());
}

TEST(UsageLogParserClaude, LinesBeforeTheStartOnlySetABaseline) {
  using namespace std::chrono;
  UsageEventLedger ledger;
  const WallTime start = *parseIso8601Either("2026-03-01T10:00:00Z");
  UsageLogParser::Context context{start, &ledger, start};
  LogRun run;
  run.feed(UsageSource::claude,
           {claudeLine("old", "r", 100, 100, 0, 0, "2026-03-01T09:00:00.000Z"),
            claudeLine("msg_1", "r", 10, 5, 0, 0, "2026-03-01T09:59:59.999Z"),
            // The message kept streaming past the start: only its growth counts.
            claudeLine("msg_1", "r", 10, 50, 0, 0, "2026-03-01T10:00:01.000Z"),
            // A line without a readable time is not held back.
            claudeLine("msg_2", "r", 1, 2, 0, 0, "yesterday")},
           &context);
  EXPECT_EQ(run.sum, (UsageCounters{1, 45 + 2, 0, 0}));

  // The same without a ledger uses the file's own memory.
  LogRun plain;
  UsageLogParser::Context noLedger{start, nullptr, start};
  plain.feed(UsageSource::claude,
             {claudeLine("msg_1", "r", 10, 5, 0, 0, "2026-03-01T09:59:59.000Z"),
              claudeLine("msg_1", "r", 10, 50, 0, 0, "2026-03-01T10:00:01Z")},
             &noLedger);
  EXPECT_EQ(plain.sum, (UsageCounters{0, 45, 0, 0}));
}

// --- Codex ---------------------------------------------------------------------------

TEST(UsageLogParserCodex, CumulativeCountersBecomeDeltas) {
  LogRun run;
  run.feed(UsageSource::codex, {R"({"type":"turn_context","payload":{"model":" gpt-5-codex "}})",
                                codexCounter(800, 300, 200, 1000)});
  ASSERT_EQ(run.events.size(), 1u);
  EXPECT_EQ(run.events[0].counters, (UsageCounters{500, 200, 300, 0}));
  EXPECT_EQ(run.events[0].model, "gpt-5-codex");

  run.feed(UsageSource::codex, {codexCounter(800, 300, 200, 1000),  // repeat
                                codexCounter(1200, 600, 300, 1500)});
  ASSERT_EQ(run.events.size(), 2u);
  EXPECT_EQ(run.events[1].counters, (UsageCounters{100, 100, 300, 0}));

  // A lower total is a reset: the whole new counter counts.
  run.feed(UsageSource::codex, {codexCounter(50, 10, 20, 70)});
  ASSERT_EQ(run.events.size(), 3u);
  EXPECT_EQ(run.events[2].counters, (UsageCounters{40, 20, 10, 0}));
}

TEST(UsageLogParserCodex, ModelFallsBackToCodexWhenTheTurnNamesNone) {
  LogRun run;
  run.feed(UsageSource::codex, {R"({"type":"turn_context","payload":{"model":"gpt-5"}})",
                                R"({"type":"turn_context","payload":{"model":"   "}})", codexCounter(10, 0, 1, 11)});
  ASSERT_EQ(run.events.size(), 1u);
  EXPECT_EQ(run.events[0].model, "codex");
}

TEST(UsageLogParserCodex, ForkReplayOnlySetsTheBaseline) {
  LogRun run;
  run.feed(UsageSource::codex,
           {R"({"timestamp":"2026-03-01T10:00:00.000Z","type":"session_meta","payload":{"id":"s","forked_from_id":"p"}})",
            codexCounter(800, 300, 200, 1000, "2026-03-01T10:00:01.000Z"),
            codexCounter(900, 300, 250, 1150, "2026-03-01T10:00:04.999Z"),
            codexCounter(1000, 300, 300, 1300, "2026-03-01T10:00:20.000Z")});
  ASSERT_EQ(run.events.size(), 1u);
  EXPECT_EQ(run.events[0].counters, (UsageCounters{100, 50, 0, 0}));
}

TEST(UsageLogParserCodex, SessionHeaderRules) {
  // A sub-agent session counts as a fork; its start falls back to the payload's time.
  LogRun subagent;
  subagent.feed(UsageSource::codex,
                {R"({"type":"session_meta","payload":{"timestamp":"2026-03-01T10:00:00Z","source":{"subagent":"review"}}})",
                 codexCounter(100, 0, 10, 110, "2026-03-01T10:00:02Z")});
  EXPECT_TRUE(subagent.events.empty());
  EXPECT_TRUE(subagent.state.codexIsFork);

  // A plain session header resets the fork flag; without a start time nothing is replay.
  LogRun plain;
  plain.state.codexIsFork = true;
  plain.feed(UsageSource::codex, {R"({"type":"session_meta","payload":{"forked_from_id":null,"source":"cli"}})",
                                  codexCounter(100, 0, 10, 110, "2026-03-01T10:00:02Z")});
  EXPECT_FALSE(plain.state.codexIsFork);
  EXPECT_FALSE(plain.state.codexSessionStartedAt);
  EXPECT_EQ(plain.events.size(), 1u);
}

TEST(UsageLogParserCodex, OtherLinesLeaveTheStateAlone) {
  LogRun run;
  run.feed(UsageSource::codex, {codexCounter(100, 0, 10, 110)});
  const auto previous = run.state.codexPrevious;
  run.feed(UsageSource::codex,
           {R"({"type":"event_msg","payload":{"type":"agent_message","message":"token_count"}})",
            R"({"type":"event_msg","payload":{"type":"token_count","info":null}})",
            R"({"type":"response_item","payload":{"type":"token_count"}})",
            R"({"type":"event_msg","payload":{"type":"token_count","info":{"total_token_usage":{"total_tokens":5}})"});
  EXPECT_EQ(run.state.codexPrevious, previous);
  EXPECT_EQ(run.events.size(), 1u);
}

// --- Kimi, Grok, Gemini, openclaw ----------------------------------------------------

// Each source's own line shape: only its usage lines count, split into the four figures.
TEST(UsageLogParserOthers, KimiStatusUpdatesAndGrokCachedPromptAndReasoning) {
  LogRun kimi;
  kimi.feed(UsageSource::kimi,
            {R"({"message":{"type":"StatusUpdate","payload":{"token_usage":{"input_other":5,"output":6,"input_cache_read":7,"input_cache_creation":8}}}})",
             R"({"message":{"type":"Other","payload":{"token_usage":{"input_other":5,"output":6}}}})"});
  LogRun grok;
  grok.feed(UsageSource::grok,
            {R"({"ctx":{"prompt_tokens":100,"cached_prompt_tokens":30,"completion_tokens":7,"reasoning_tokens":3}})",
             R"({"ctx":{"completion_tokens":7},"prompt_tokens":5})"});
  EXPECT_EQ(kimi.events, (std::vector<UsageLogEvent>{{{5, 6, 7, 8}, "kimi"}}));
  EXPECT_EQ(grok.events, (std::vector<UsageLogEvent>{{{70, 10, 30, 0}, "Grok model unknown"}}));
}

TEST(UsageLogParserOthers, GeminiArithmetic) {
  struct Case {
    const char* tokens;
    UsageCounters expected;
  };
  const Case cases[] = {
      // Parts add up to the total: input already holds the cache.
      {R"({"input":100,"output":50,"cached":40,"total":150})", {60, 50, 40, 0}},
      // They do not: input is fresh; the unexplained rest goes to output.
      {R"({"input":100,"output":50,"cached":40,"total":190})", {100, 50, 40, 0}},
      {R"({"input":10,"output":5,"total":30})", {10, 20, 0, 0}},
      // Alternative key names, thoughts and tool tokens.
      {R"({"prompt_tokens":10,"input":0,"candidates":4,"thoughts_tokens":3,"tool_tokens":2,"cached_tokens":1,"total_tokens":19})",
       {11, 7, 1, 0}},
  };
  for (const Case& c : cases) {
    LogRun run;
    run.feed(UsageSource::gemini, {std::string(R"({"type":"gemini","tokens":)") + c.tokens + "}"});
    ASSERT_EQ(run.events.size(), 1u) << c.tokens;
    EXPECT_EQ(run.events[0].counters, c.expected) << c.tokens;
    EXPECT_EQ(run.events[0].model, "gemini");
  }
}

TEST(UsageLogParserOthers, GeminiModelAndIdentifier) {
  LogRun run;
  run.feed(UsageSource::gemini, {R"({"type":"gemini","id":"a","model":"gemini-2.5-pro","tokens":{"input":10,"output":5}})",
                                 R"({"type":"gemini","id":"a","tokens":{"input":10,"output":8}})",
                                 R"({"type":"user","tokens":{"input":10}})"});
  ASSERT_EQ(run.events.size(), 2u);
  EXPECT_EQ(run.events[1], (UsageLogEvent{{0, 3, 0, 0}, "gemini-2.5-pro"}));
}

TEST(UsageLogParserOthers, OpenclawRepeatsModelsAndTotals) {
  LogRun run;
  const std::string first =
      R"({"type":"message","message":{"id":"m1","role":"assistant","usage":{"input":10,"output":5,"cacheRead":2,"cacheWrite":1,"totalTokens":18}}})";
  run.feed(UsageSource::openclaw,
           {R"({"type":"custom","customType":"model-snapshot","data":{"modelId":"kimi-k2"}})", first, first,
            R"({"type":"message","message":{"id":"m1","role":"assistant","usage":{"input":10,"output":9,"cacheRead":2,"cacheWrite":1}}})",
            R"({"type":"message","message":{"role":"user","usage":{"input":10}}})"});
  ASSERT_EQ(run.events.size(), 2u);
  EXPECT_EQ(run.events[0], (UsageLogEvent{{10, 5, 2, 1}, "[openclaw] kimi-k2"}));
  EXPECT_EQ(run.events[1].counters, (UsageCounters{0, 4, 0, 0}));

  run.feed(UsageSource::openclaw,
           {R"({"type":"model_change","model":"  "})",
            R"({"type":"message","id":"top","message":{"role":"assistant","usage":{"input":1,"totalTokens":4}}})"});
  ASSERT_EQ(run.events.size(), 3u);
  EXPECT_EQ(run.events[2], (UsageLogEvent{{1, 3, 0, 0}, "[openclaw] openclaw"}));
  EXPECT_EQ(run.state.model, "openclaw");
}

// --- Integer reading and bad input ---------------------------------------------------

TEST(UsageLogParserFigures, TolerantIntegerReading) {
  struct Case {
    const char* value;
    int64_t expected;
  };
  const Case cases[] = {
      {"12", 12},         {"\"12\"", 12},     {"\"+12\"", 12},   {"\"-0\"", 0},         {"\"12.5\"", 0},
      {"\"\"", 0},        {"\" 12\"", 0},     {"\"12 \"", 0},    {"\"0x10\"", 0},       {"\"+\"", 0},
      {"\"+-1\"", 0},     {"12.9", 12},       {"1e3", 1000},     {"2.5e0", 2},          {"true", 0},
      {"null", 0},        {"[5]", 0},         {"{\"a\":5}", 0},  {"\"9223372036854775807\"", INT64_MAX},
      {"\"9223372036854775808\"", 0},         {"9223372036854775807", INT64_MAX},
      {"18446744073709551615", 0},            {"1e19", 0},       {"9.2e18", 9200000000000000000},
      {"\"99999999999999999999999\"", 0},    {"100000000000000000000", 0},
      {"-100000000000000000000", 0},          {"1e400", 0},
  };
  for (const Case& c : cases) {
    LogRun run;
    run.feed(UsageSource::kimi, {std::string(R"({"message":{"type":"StatusUpdate","payload":{"token_usage":{"output":1,"input_other":)") +
                                 c.value + "}}}}"});
    const int64_t input = run.events.empty() ? -1 : run.events[0].counters.input;
    EXPECT_EQ(input, c.expected) << c.value;
  }
}

TEST(UsageLogParserFigures, NegativeFiguresNeverLowerTotalsAndHugeOnesSaturate) {
  LogRun run;
  run.feed(UsageSource::claude, {R"({"message":{"usage":{"input_tokens":-50,"output_tokens":80}}})",
                                 R"({"message":{"usage":{"input_tokens":-50,"output_tokens":20}}})"});
  run.feed(UsageSource::grok, {R"({"ctx":{"prompt_tokens":"-9223372036854775808","cached_prompt_tokens":9223372036854775807,"completion_tokens":9223372036854775807,"reasoning_tokens":9223372036854775807}})"});
  ASSERT_EQ(run.events.size(), 2u);
  EXPECT_EQ(run.events[0].counters, (UsageCounters{0, 80, 0, 0}));
  EXPECT_EQ(run.events[1].counters.output, INT64_MAX);
}

TEST(UsageLogParserFigures, NumbersBeyondSixtyFourBitsAnywhereDoNotLoseTheLine) {
  // How JavaScript writes 1e20, in a tool's input; and a double beyond any range.
  const std::string input = R"("content":[{"type":"tool_use","input":{"n":100000000000000000000,"m":-1e400,)"
                            R"("x":[1.5,"\u00e9\n"]}}],)";
  std::string line = claudeLine("m", "r", 10, 5);
  line.insert(line.find(R"("usage")"), input);
  LogRun run;
  run.feed(UsageSource::claude, {line});
  ASSERT_EQ(run.events.size(), 1u);
  EXPECT_EQ(run.events[0].counters, (UsageCounters{10, 5, 0, 0}));
  EXPECT_EQ(run.events[0].model, "claude-sonnet-4-5");

  // Read the other way round, the rules still hold: the last of duplicate keys wins, and
  // the line still has to be JSON.
  LogRun other;
  other.feed(UsageSource::claude,
             {R"({"n":100000000000000000000,"message":{"usage":{"output_tokens":1,"output_tokens":3}}})",
              R"({"n":100000000000000000000,"message":{"usage":{"output_tokens":01}}})",
              R"({"n":100000000000000000000,"message":{"usage":{"output_tokens":4}})"});
  ASSERT_EQ(other.events.size(), 1u);
  EXPECT_EQ(other.events[0].counters, (UsageCounters{0, 3, 0, 0}));
}

TEST(UsageLogParserBadInput, MalformedLinesYieldNothingAndKeepState) {
  const std::string good = codexCounter(100, 0, 10, 110);
  std::vector<std::string> bad = {
      good.substr(0, good.size() - 1),                          // truncated
      good + "}",                                               // trailing garbage
      good + " " + good,                                        // two documents
      "[" + good + "]",                                         // not an object
      R"("token_count")",                                       // a bare string
      std::string("{\"type\":\"event_msg\",\"x\":\"\xff\xfe\",\"token_count\":1}"),  // invalid UTF-8
      std::string(R"({"type":"turn_context","payload":{"model":"x"},)") + std::string(1, '\0') + "}",
      std::string(5000, '[') + R"("token_count")" + std::string(5000, ']'),  // deep nesting
  };
  LogRun run;
  run.feed(UsageSource::codex, {R"({"type":"turn_context","payload":{"model":"gpt-5"}})"});
  for (const std::string& line : bad) {
    for (UsageSource source : allUsageSources) {
      UsageParserState state = run.state;
      EXPECT_FALSE(parse(line, source, state)) << line.substr(0, 80);
      EXPECT_EQ(state.model, "gpt-5");
      EXPECT_FALSE(state.codexPrevious);
    }
  }
}

TEST(UsageLogParserBadInput, PrefilterNeedsTheQuotedKey) {
  using UsageLogParser::admits;
  EXPECT_TRUE(admits(R"({"usage":1})", UsageSource::claude));
  EXPECT_FALSE(admits(R"({"usages":1, "text":"the usage:"})", UsageSource::claude));
  EXPECT_FALSE(admits(R"({"x":"{\"usage\":1}"})", UsageSource::claude));
  EXPECT_TRUE(admits(R"({"type":"session_meta"})", UsageSource::codex));
  EXPECT_TRUE(admits(R"({"type":"turn_context"})", UsageSource::codex));
  EXPECT_FALSE(admits(R"({"type":"turn_context"})", UsageSource::claude));
  EXPECT_TRUE(admits(R"({"type":"model-snapshot"})", UsageSource::openclaw));
  // Each needle at every offset of a line, up to its very end, among the other needles'
  // near misses (the scan tests several needles of different lengths at once).
  const std::pair<UsageSource, std::string> needles[] = {{UsageSource::gemini, "\"tokens\""},
                                                         {UsageSource::codex, "\"token_count\""},
                                                         {UsageSource::codex, "\"turn_context\""},
                                                         {UsageSource::openclaw, "\"model-snapshot\""}};
  for (const auto& [source, needle] : needles) {
    for (size_t offset = 0; offset < 80; ++offset) {
      std::string line = std::string(offset, 'x').replace(0, std::min<size_t>(offset, 14), "\"turn_contexT\"", 0,
                                                             std::min<size_t>(offset, 14));
      line += needle;
      line += std::string(offset % 37, 'y');
      EXPECT_TRUE(admits(line, source)) << needle << offset;
      line[offset + needle.size() / 2] = 'K';
      EXPECT_FALSE(admits(line, source)) << needle << offset;
    }
  }
}

TEST(UsageLogParserBadInput, HugeLinesAreSkippedAndDecodingRecovers) {
  LogRun run;
  std::string big = R"({"message":{"usage":{"input_tokens":1},"content":")" + std::string(3u << 20, 'a') + "\"}}";
  run.feed(UsageSource::claude, {big, claudeLine("m", "r", 1, 1)});
  EXPECT_EQ(run.events.size(), 2u);
  std::string tooBig(UsageLogParser::kMaxLineBytes + 1, ' ');
  tooBig.replace(0, 7, "\"usage\"");
  EXPECT_FALSE(parse(tooBig, UsageSource::claude, run.state));
}

}  // namespace
}  // namespace quorvin
