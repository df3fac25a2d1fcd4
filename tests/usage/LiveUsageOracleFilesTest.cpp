// Which file a path names, and what existed at start: links, renames over a tailed log,
// reused inode numbers, files without birth times, and logs idle for more than a day.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "usage/LiveUsageOracle.h"
#include "usage/OracleHarness.h"

namespace quorvin {
namespace {

using namespace std::chrono_literals;
using test::settledSnapshot;
using test::snapshotUntil;
using test::sourceTotal;

using LiveUsageOracleFiles = test::OracleTest;

std::string geminiLine(int input, int output) {
  return R"({"type":"gemini","model":"gemini-2.5-pro","tokens":{"input":)" + std::to_string(input) +
         R"(,"output":)" + std::to_string(output) + "}}\n";
}

std::string grokLine(int prompt, int completion) {
  return R"({"ctx":{"prompt_tokens":)" + std::to_string(prompt) + R"(,"completion_tokens":)" +
         std::to_string(completion) + "}}\n";
}

long secondsSinceEpoch(WallTime time) {
  return long(std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count());
}

uint64_t inodeOf(const std::filesystem::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? uint64_t(st.st_ino) : 0;
}

TEST_F(LiveUsageOracleFiles, SymbolicLinksNeverCount) {
  test::writeFile(claude("p/a.jsonl"), "");
  auto oracle = start();
  // One link beside a log, one to a file outside the log folders.
  std::filesystem::create_symlink(claude("p/a.jsonl"), claude("p/beside.jsonl"));
  test::writeFile(home_ / "elsewhere/notes.jsonl", line("outside", 5000, 0));
  std::filesystem::create_symlink(home_ / "elsewhere/notes.jsonl", claude("p/pulled-in.jsonl"));
  std::filesystem::create_directories(claude("q"));
  std::filesystem::create_directory_symlink(home_ / "elsewhere", claude("q/linked-folder"));

  test::appendFile(claude("p/a.jsonl"), line("m1", 10, 0));
  snapshotUntil(*oracle, claudeReaches(10));
  test::appendFile(home_ / "elsewhere/notes.jsonl", line("outside2", 7000, 0));
  EXPECT_EQ(sourceTotal(*oracle->snapshot(true), "claude"), 10);
  EXPECT_EQ(sourceTotal(settledSnapshot(*oracle), "claude"), 10);
  EXPECT_EQ(oracle->files().size(), 1u);
}

TEST_F(LiveUsageOracleFiles, AFileRenamedOverATailedLogKeepsItsStateAndCountsOnce) {
  test::writeFile(home_ / ".grok/logs/session.jsonl", grokLine(5000, 0));
  auto oracle = start();
  // Rewritten through a temporary file that passes the name filter and is tailed itself.
  test::writeFile(home_ / ".grok/logs/session.jsonl.tmp", grokLine(100, 11));
  ASSERT_EQ(sourceTotal(snapshotUntil(*oracle, reaches("grok", 111)), "grok"), 111);
  std::filesystem::rename(home_ / ".grok/logs/session.jsonl.tmp", home_ / ".grok/logs/session.jsonl");
  EXPECT_EQ(sourceTotal(*oracle->snapshot(), "grok"), 111);
  EXPECT_EQ(sourceTotal(settledSnapshot(*oracle), "grok"), 111);
  EXPECT_EQ(oracle->files().size(), 1u);

  test::appendFile(home_ / ".grok/logs/session.jsonl", grokLine(1, 1));
  EXPECT_EQ(sourceTotal(*oracle->snapshot(), "grok"), 113);
}

TEST_F(LiveUsageOracleFiles, AReusedInodeNumberIsANewFileAndDeletedFilesAreForgottenButStillCount) {
  test::writeFile(claude("p/a.jsonl"), "");
  auto oracle = start();
  auto codex = home_ / ".codex/sessions/rollout.jsonl";
  test::writeFile(codex, R"({"timestamp":"2026-01-01T00:00:01.000Z","type":"turn_context","payload":{"model":"gpt-5-codex"}})"
                         "\n" +
                             test::codexCounterLine(100, 0, 10, "2026-01-01T00:00:02.000Z"));
  ASSERT_EQ(sourceTotal(snapshotUntil(*oracle, reaches("codex", 110)), "codex"), 110);
  const uint64_t inode = inodeOf(codex);
  std::filesystem::remove(codex);
  oracle->snapshot();

  // ext4 hands the freed number to the next new file; other file systems may never.
  std::filesystem::path reused;
  for (int i = 0; i < 64 && reused.empty(); ++i) {
    auto candidate = claude("p/new-" + std::to_string(i) + ".jsonl");
    test::writeFile(candidate, "");
    if (inodeOf(candidate) == inode) reused = candidate;
  }
  if (reused.empty()) GTEST_SKIP() << "this file system did not reuse the inode number";
  test::appendFile(reused, line("m1", 10, 5));
  auto snapshot = snapshotUntil(*oracle, claudeReaches(15));
  EXPECT_EQ(sourceTotal(snapshot, "claude"), 15);
  EXPECT_EQ(sourceTotal(snapshot, "codex"), 110);
  const double codexCost = snapshot.sourceCosts.at("codex");

  // Gone from its path and, after a whole walk, from everywhere: its state is dropped,
  // what it counted stays.
  clock_.advance(61s);
  snapshot = *oracle->snapshot(true);
  EXPECT_FALSE(oracle->files().contains(codex.string()));
  EXPECT_EQ(sourceTotal(snapshot, "codex"), 110);
  EXPECT_EQ(snapshot.sources, (std::vector<std::string>{"claude", "codex"}));
  EXPECT_EQ(snapshot.models, (std::vector<std::string>{"claude-sonnet-4-5", "gpt-5-codex"}));
  EXPECT_EQ(snapshot.sourceCosts.at("codex"), codexCost);
}

TEST_F(LiveUsageOracleFiles, WithoutBirthTimesAFileWhoseStatusChangedBeforeStartExistedThen) {
  // Unpacked with its times kept: modified "later" than start, though it was last changed
  // before; then moved into a log folder after start.
  auto outside = home_ / "unpacked/project/chats/session.jsonl";
  test::writeFile(outside, geminiLine(1'000'000, 0));
  test::setModified(outside, secondsSinceEpoch(clock_.now() + 1h));
  std::filesystem::create_directories(home_ / ".gemini/tmp");
  clock_.advance(30s);  // the start comes after the file's last status change
  auto oracle = start({.watchChanges = false, .birthTimes = false});

  std::filesystem::rename(home_ / "unpacked/project", home_ / ".gemini/tmp/project");
  auto inside = home_ / ".gemini/tmp/project/chats/session.jsonl";
  EXPECT_EQ(sourceTotal(*oracle->snapshot(true), "gemini"), 0);
  ASSERT_TRUE(oracle->files().contains(inside.string()));
  test::appendFile(inside, geminiLine(100, 0));
  EXPECT_EQ(sourceTotal(*oracle->snapshot(), "gemini"), 100);
}

TEST_F(LiveUsageOracleFiles, LogsIdleForADayAtStartCountWhatIsAppendedToThem) {
  auto old = home_ / ".gemini/tmp/project/chats/old.jsonl";
  auto older = home_ / ".gemini/tmp/project/chats/older.jsonl";
  auto renamed = home_ / ".gemini/tmp/project/chats/renamed.jsonl";
  test::writeFile(old, geminiLine(1'000'000, 0));
  test::writeFile(older, geminiLine(2'000'000, 0));
  for (const auto& path : {old, older}) test::setModified(path, secondsSinceEpoch(clock_.now() - 48h));
  auto oracle = start();
  // Known by their size alone, and not polled.
  EXPECT_EQ(oracle->dormantFiles().size(), 2u);
  EXPECT_TRUE(oracle->files().empty());

  test::appendFile(old, geminiLine(100, 0));
  EXPECT_EQ(sourceTotal(snapshotUntil(*oracle, reaches("gemini", 100)), "gemini"), 100);
  // An old log renamed after start goes on from its size at start too.
  std::filesystem::rename(older, renamed);
  test::appendFile(renamed, geminiLine(20, 0));
  EXPECT_EQ(sourceTotal(snapshotUntil(*oracle, reaches("gemini", 120)), "gemini"), 120);
  EXPECT_EQ(sourceTotal(settledSnapshot(*oracle), "gemini"), 120);
  EXPECT_TRUE(oracle->dormantFiles().empty());
}

}  // namespace
}  // namespace quorvin
