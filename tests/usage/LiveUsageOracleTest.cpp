#include "usage/LiveUsageOracle.h"

#include <gtest/gtest.h>

#include "usage/OracleHarness.h"
#include "usage/SqliteWriter.h"

namespace quorvin {
namespace {

using namespace std::chrono_literals;
using test::claudeLine;
using test::settledSnapshot;
using test::snapshotUntil;
using test::sourceTotal;

using LiveUsageOracleTest = test::OracleTest;

TEST_F(LiveUsageOracleTest, ExistingFilesCountOnlyAppendedLinesAndNewFilesCountFromTheirFirstByte) {
  test::writeFile(claude("p/old.jsonl"), line("m0", 1000, 1000) + "{\"type\":\"user\"}\n");
  test::writeFile(home_ / ".codex/sessions/quiet.jsonl", "{}\n");
  auto oracle = start();
  EXPECT_EQ(oracle->snapshot()->counters.total(), 0);

  test::appendFile(claude("p/old.jsonl"), line("m1", 10, 5));
  EXPECT_EQ(sourceTotal(*oracle->snapshot(), "claude"), 15);  // known files are polled: no event needed

  test::writeFile(claude("p/sub/new.jsonl"), line("m2", 1, 1) + line("m3", 2, 2));
  auto snapshot = snapshotUntil(*oracle, claudeReaches(21));
  EXPECT_EQ(sourceTotal(snapshot, "claude"), 21);
  EXPECT_EQ(snapshot.counters, (UsageCounters{13, 8, 0, 0}));
  EXPECT_EQ(snapshot.models, std::vector<std::string>{"claude-sonnet-4-5"});
  // A source with files but no usage is listed with 0.
  EXPECT_EQ(snapshot.sources, (std::vector<std::string>{"claude", "codex"}));
  EXPECT_EQ(sourceTotal(snapshot, "codex"), 0);
  EXPECT_NEAR(snapshot.sourceCosts.at("claude"), (13 * 3 + 8 * 15) / 1e6, 1e-12);
  EXPECT_EQ(settledSnapshot(*oracle).counters.total(), 21);
}

TEST_F(LiveUsageOracleTest, ALineWrittenInPartsCountsOnceAfterItsLineFeed) {
  test::writeFile(claude("p/a.jsonl"), "");
  auto oracle = start();
  // The line feed alone in the last piece.
  std::string whole = line("m1", 7, 3);
  test::appendFile(claude("p/a.jsonl"), whole.substr(0, 40));
  EXPECT_EQ(oracle->snapshot()->counters.total(), 0);
  test::appendFile(claude("p/a.jsonl"), whole.substr(40, whole.size() - 41));
  EXPECT_EQ(oracle->snapshot()->counters.total(), 0);
  test::appendFile(claude("p/a.jsonl"), "\n");
  EXPECT_EQ(oracle->snapshot()->counters.total(), 10);
  EXPECT_EQ(oracle->files().begin()->second.remainder, "");

  // The second piece carries the rest of the line, its line feed and the next line's start.
  std::string second = line("m2", 20, 0), third = line("m3", 100, 0);
  test::appendFile(claude("p/a.jsonl"), second.substr(0, 30));
  EXPECT_EQ(oracle->snapshot()->counters.total(), 10);
  test::appendFile(claude("p/a.jsonl"), second.substr(30) + third.substr(0, 50));
  EXPECT_EQ(oracle->snapshot()->counters.total(), 30);
  test::appendFile(claude("p/a.jsonl"), third.substr(50));
  EXPECT_EQ(oracle->snapshot()->counters.total(), 130);
}

TEST_F(LiveUsageOracleTest, TruncationKeepsArchivedCountsAndRenamingKeepsCountsAndOffset) {
  test::writeFile(claude("p/a.jsonl"), "");
  test::writeFile(claude("p/b.jsonl"), "");
  auto oracle = start();
  test::appendFile(claude("p/a.jsonl"), claudeLine("m1", 100, 0, clock_.now(), "claude-haiku-4-5") +
                                            claudeLine("m2", 100, 0, clock_.now(), "claude-haiku-4-5"));
  test::appendFile(claude("p/b.jsonl"), line("m3", 50, 0));
  EXPECT_EQ(oracle->snapshot()->counters.total(), 250);

  // Truncated and rewritten, shorter, by another model.
  test::writeFile(claude("p/a.jsonl"), claudeLine("m4", 1, 0, clock_.now(), "claude-opus-4-1"));
  EXPECT_EQ(oracle->snapshot()->counters.total(), 251);
  // The archived tokens still count, and so does the model they were priced by.
  EXPECT_EQ(oracle->snapshot()->models,
            (std::vector<std::string>{"claude-haiku-4-5", "claude-opus-4-1", "claude-sonnet-4-5"}));

  std::filesystem::rename(claude("p/b.jsonl"), claude("p/renamed.jsonl"));
  test::appendFile(claude("p/renamed.jsonl"), line("m5", 5, 0));
  auto snapshot = snapshotUntil(*oracle, claudeReaches(256));
  EXPECT_EQ(snapshot.counters.total(), 256);
  EXPECT_TRUE(oracle->files().contains(claude("p/renamed.jsonl").string()));
  EXPECT_FALSE(oracle->files().contains(claude("p/b.jsonl").string()));
  EXPECT_EQ(settledSnapshot(*oracle).counters.total(), 256);
}

TEST_F(LiveUsageOracleTest, AtomicReplaceCountsTheNewFileFromItsFirstByte) {
  std::string before = claudeLine("m0", 1000, 0, clock_.now() - 1h);
  test::writeFile(claude("p/a.jsonl"), before);
  auto oracle = start();
  test::appendFile(claude("p/a.jsonl"), line("m1", 10, 0));
  EXPECT_EQ(oracle->snapshot()->counters.total(), 10);

  // Rewritten through a temporary file: old content plus one new line, renamed over.
  test::writeFile(claude("p/a.jsonl.tmp"), before + line("m1", 10, 0) + line("m2", 7, 0));
  std::filesystem::rename(claude("p/a.jsonl.tmp"), claude("p/a.jsonl"));
  auto snapshot = *oracle->snapshot();
  // Read from byte 0, but m0 predates the start and m1 was counted already: only m2 is new.
  EXPECT_EQ(snapshot.counters.total(), 17);
  const auto& state = oracle->files().at(claude("p/a.jsonl").string());
  EXPECT_EQ(state.archived.total(), 10);
  EXPECT_EQ(state.counters.total(), 7);
}

TEST_F(LiveUsageOracleTest, ARotatedFileUnderANewNameIsNotCountedTwice) {
  auto oracle = start();
  // Created after start (so counted from byte 0), then rotated: renamed away and
  // replaced by a fresh file at the same path.
  test::writeFile(home_ / ".grok/logs/session.jsonl",
                  R"({"ctx":{"prompt_tokens":100,"completion_tokens":10}})"
                  "\n");
  auto snapshot =
      snapshotUntil(*oracle, [](const auto& s) { return sourceTotal(s, "grok") >= 110; });
  ASSERT_EQ(sourceTotal(snapshot, "grok"), 110);

  std::filesystem::rename(home_ / ".grok/logs/session.jsonl", home_ / ".grok/logs/session.jsonl.1");
  test::writeFile(home_ / ".grok/logs/session.jsonl",
                  R"({"ctx":{"prompt_tokens":1,"completion_tokens":1}})"
                  "\n");
  snapshot = snapshotUntil(*oracle, [](const auto& s) { return sourceTotal(s, "grok") >= 112; });
  EXPECT_EQ(sourceTotal(snapshot, "grok"), 112);
  EXPECT_EQ(sourceTotal(settledSnapshot(*oracle), "grok"), 112);
}

TEST_F(LiveUsageOracleTest, CodexPrimingCountsOnlyGrowthOverTheLastCounterBeforeStart) {
  auto path = home_ / ".codex/sessions/2026/01/01/rollout.jsonl";
  test::writeFile(path, R"({"timestamp":"2026-01-01T00:00:00.000Z","type":"session_meta","payload":{"id":"s"}})"
                        "\n"
                        R"({"timestamp":"2026-01-01T00:00:01.000Z","type":"turn_context","payload":{"model":"gpt-5-codex"}})"
                        "\n" +
                            test::codexCounterLine(800, 300, 200, "2026-01-01T00:00:02.000Z"));
  auto oracle = start();
  test::appendFile(path, test::codexCounterLine(1200, 600, 300, "2026-01-01T00:10:00.000Z"));
  auto snapshot = *oracle->snapshot();
  // Growth 400 input of which 300 cached, 100 output; not the cumulative 1500.
  EXPECT_EQ(snapshot.counters, (UsageCounters{100, 100, 300, 0}));
  EXPECT_EQ(snapshot.models, std::vector<std::string>{"gpt-5-codex"});
}

TEST_F(LiveUsageOracleTest, ACodexFileReadFromItsFirstByteKeepsItsModelPastThePrimingWindow) {
  test::writeFile(home_ / ".codex/sessions/old.jsonl", "");
  auto oracle = start();
  auto path = home_ / ".codex/sessions/new.jsonl";
  std::string filler;
  while (filler.size() < (2u << 20) + 4096) {
    filler += R"({"type":"response_item","payload":{"type":"message","text":")" + std::string(1000, 'x') + "\"}}\n";
  }
  test::writeFile(path, R"({"timestamp":"2026-01-01T00:00:01.000Z","type":"turn_context","payload":{"model":"gpt-5-codex"}})"
                        "\n" +
                            test::codexCounterLine(100, 0, 10, "2026-01-01T00:00:02.000Z") + filler);
  snapshotUntil(*oracle, [](const auto& s) { return sourceTotal(s, "codex") >= 110; });
  test::appendFile(path, test::codexCounterLine(200, 0, 20, "2026-01-01T00:00:03.000Z"));
  auto snapshot = *oracle->snapshot();
  EXPECT_EQ(sourceTotal(snapshot, "codex"), 220);
  EXPECT_EQ(snapshot.models, std::vector<std::string>{"gpt-5-codex"});
}

TEST_F(LiveUsageOracleTest, ASourceDirectoryCreatedAfterStartIsPickedUp) {
  test::writeFile(claude("p/a.jsonl"), "");
  auto oracle = start();
  auto path = home_ / ".gemini/tmp/project/chats/session.jsonl";
  test::writeFile(path, R"({"type":"gemini","model":"gemini-2.5-pro","tokens":{"input":10,"output":5}})"
                        "\n");
  // The watcher is replaced on this snapshot and a full inventory finds the file.
  EXPECT_EQ(sourceTotal(*oracle->snapshot(), "gemini"), 15);
  test::appendFile(path, R"({"type":"gemini","tokens":{"input":1,"output":1}})"
                         "\n");
  EXPECT_EQ(sourceTotal(*oracle->snapshot(), "gemini"), 17);
}

TEST_F(LiveUsageOracleTest, NewFilesWithoutEventsAreFoundByTheFallbackInventoryEveryFiveMinutes) {
  test::writeFile(claude("p/a.jsonl"), "");
  auto oracle = start({.watchChanges = false});
  test::writeFile(claude("p/later.jsonl"), line("m1", 3, 3));
  clock_.advance(299s);
  EXPECT_EQ(oracle->snapshot()->counters.total(), 0);
  clock_.advance(1s);
  EXPECT_EQ(oracle->snapshot()->counters.total(), 6);
  // A forced scan runs the inventory at once.
  test::writeFile(claude("p/forced.jsonl"), line("m2", 1, 0));
  EXPECT_EQ(oracle->snapshot(true)->counters.total(), 7);
}

// A new file's lines from before the start count nothing (a resumed session repeats its
// history), but clocks of agent and computer differ a little and a line may be stamped when
// its request began: a minute of slack, no more.
TEST_F(LiveUsageOracleTest, ANewFilesLinesFromBeforeTheStartCountNothingBeyondAMinutesSlack) {
  test::writeFile(claude("p/a.jsonl"), "");
  auto oracle = start();
  test::writeFile(claude("p/resumed.jsonl"), claudeLine("old1", 5000, 500, clock_.now() - 24h) +
                                                 claudeLine("stale", 700, 50, clock_.now() - 75s) +
                                                 claudeLine("late", 40, 5, clock_.now() - 45s) + line("now", 1, 1));
  auto snapshot = snapshotUntil(*oracle, claudeReaches(47));
  EXPECT_EQ(sourceTotal(snapshot, "claude"), 47);
  EXPECT_EQ(sourceTotal(settledSnapshot(*oracle), "claude"), 47);
}

TEST_F(LiveUsageOracleTest, OneClaudeMessageInTwoFilesCountsOnce) {
  test::writeFile(claude("p/a.jsonl"), "");
  test::writeFile(claude("q/b.jsonl"), "");
  auto oracle = start();
  test::appendFile(claude("p/a.jsonl"), line("shared", 30, 3));
  EXPECT_EQ(oracle->snapshot()->counters.total(), 33);
  test::appendFile(claude("q/b.jsonl"), line("shared", 30, 3) + line("own", 1, 0));
  test::appendFile(claude("p/a.jsonl"), line("shared", 30, 9));  // the stream grew: 6 more
  EXPECT_EQ(oracle->snapshot()->counters.total(), 40);
}

TEST_F(LiveUsageOracleTest, LinesOfMegabytesCountAndOverlongOnesAreDroppedWithoutHoldingThem) {
  test::writeFile(claude("p/a.jsonl"), "");
  auto oracle = start();
  // An assistant line whose tool input writes a 6 MiB file, arriving in two pieces.
  std::string big = line("m0", 7, 3);
  big.insert(big.find(R"("usage")"), R"("content":[{"type":"tool_use","input":{"content":")" +
                                         std::string(6u << 20, 'a') + R"("}}],)");
  test::appendFile(claude("p/a.jsonl"), big.substr(0, 5u << 20));
  EXPECT_EQ(oracle->snapshot()->counters.total(), 0);
  test::appendFile(claude("p/a.jsonl"), big.substr(5u << 20));
  EXPECT_EQ(oracle->snapshot()->counters.total(), 10);
  // Its buffer went with it.
  EXPECT_EQ(oracle->files().begin()->second.remainder.capacity(), std::string().capacity());

  std::string huge(LiveUsageOracle::kMaxPartialLineBytes + 1000, 'x');
  test::appendFile(claude("p/a.jsonl"), huge);
  oracle->snapshot();
  EXPECT_LE(oracle->files().begin()->second.remainder.capacity(), 64u << 10);
  test::appendFile(claude("p/a.jsonl"), "tail of the long line\n" + line("m1", 4, 4));
  EXPECT_EQ(oracle->snapshot()->counters.total(), 18);
}

TEST_F(LiveUsageOracleTest, StructuredStoresJoinTheSnapshot) {
  test::writeFile(claude("p/a.jsonl"), "");
  std::filesystem::create_directories(home_ / ".hermes");
  test::SqliteWriter hermes((home_ / ".hermes/state.db").string());
  hermes.exec("CREATE TABLE sessions (id TEXT PRIMARY KEY, model TEXT, input_tokens INTEGER, output_tokens INTEGER, "
              "cache_read_tokens INTEGER, cache_write_tokens INTEGER, reasoning_tokens INTEGER)");
  auto oracle = start();
  hermes.run("INSERT INTO sessions VALUES ('s', 'kimi-k2', 100, 20, 0, 0, 0)");
  test::writeFile(home_ / ".factory/sessions/x/s.settings.json",
                  R"({"model":"gpt-5","tokenUsage":{"inputTokens":7}})");
  auto snapshot = snapshotUntil(*oracle, [](const auto& s) { return sourceTotal(s, "droid") >= 7; });
  EXPECT_EQ(sourceTotal(snapshot, "hermes"), 120);
  EXPECT_EQ(sourceTotal(snapshot, "droid"), 7);
  EXPECT_EQ(snapshot.sources, (std::vector<std::string>{"claude", "droid", "hermes"}));
  EXPECT_EQ(snapshot.models, (std::vector<std::string>{"gpt-5", "kimi-k2"}));
  EXPECT_EQ(snapshot.counters.total(), 127);
}

TEST(LiveUsageOracleRoots, ClaudeAndCodexRootsFollowTheEnvironment) {
  LiveUsageOracle::Environment environment{"/cfg", "/a, /b/,relative", "/codex"};
  auto roots = LiveUsageOracle::rootsFor("/home/u", environment);
  std::vector<std::string> paths;
  for (const auto& root : roots) paths.push_back(root.path);
  EXPECT_EQ(paths, (std::vector<std::string>{"/home/u/.claude/projects", "/cfg/claude/projects", "/a/projects",
                                             "/b/projects", "/home/u/.codex/sessions", "/codex/sessions",
                                             "/home/u/.kimi/sessions", "/home/u/.grok/logs", "/home/u/.gemini/tmp",
                                             "/home/u/.openclaw", "/home/u/.clawdbot", "/home/u/.moltbot",
                                             "/home/u/.moldbot"}));
  auto defaults = LiveUsageOracle::rootsFor("/home/u", {});
  EXPECT_EQ(defaults[1].path, "/home/u/.config/claude/projects");
  EXPECT_EQ(defaults.size(), 10u);

  EXPECT_TRUE(LiveUsageOracle::passesNameFilter(UsageSource::claude, "a.jsonl"));
  EXPECT_FALSE(LiveUsageOracle::passesNameFilter(UsageSource::claude, "a.jsonl.tmp"));
  EXPECT_TRUE(LiveUsageOracle::passesNameFilter(UsageSource::openclaw, "a.jsonl.1"));
  EXPECT_FALSE(LiveUsageOracle::passesNameFilter(UsageSource::kimi, "other.jsonl"));
}

}  // namespace
}  // namespace quorvin
