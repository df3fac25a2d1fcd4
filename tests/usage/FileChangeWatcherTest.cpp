#include "usage/FileChangeWatcher.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "usage/EventuallyDrained.h"
#include "support/TempFolder.h"

namespace quorvin {
namespace {

using test::drainSettled;
using test::drainUntil;
using test::TempFolder;

TEST(FileChangeWatcher, ReportsEachChangedFileOnceSortedAndDrainEmptiesTheSet) {
  TempFolder dir;
  std::filesystem::create_directories(dir / "logs/deep");
  FileChangeWatcher watcher({dir / "logs", dir / "missing"});
  ASSERT_EQ(watcher.watchedRoots(), std::vector<std::string>{(dir / "logs").string()});

  std::vector<std::string> files;
  for (const char* name : {"deep/c.jsonl", "a.jsonl", "deep/b.jsonl"}) {
    files.push_back((dir / "logs" / name).string());
    for (int i = 0; i < 5; ++i) test::appendFile(files.back(), "line\n");
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  auto paths = watcher.drain();
  std::sort(files.begin(), files.end());
  EXPECT_EQ(paths, files);
  EXPECT_TRUE(drainSettled(watcher).empty());
}

TEST(FileChangeWatcher, NewDirectoriesAreWatchedAndReportedForRescan) {
  TempFolder dir;
  FileChangeWatcher watcher({dir.path()});
  // Written before the watcher can possibly have watched the new directories: the
  // directory itself is reported so the reader rescans it.
  test::writeFile(dir / "p/q/r/early.jsonl", "x\n");
  std::string top = (dir / "p").string();
  auto seen = drainUntil(watcher, [&](const auto& paths) { return paths.contains(top); });
  EXPECT_TRUE(seen.contains(top));

  // From now on files in the deepest new directory are reported themselves.
  std::string late = (dir / "p/q/r/late.jsonl").string();
  test::writeFile(late, "y\n");
  seen = drainUntil(watcher, [&](const auto& paths) { return paths.contains(late); });
  EXPECT_TRUE(seen.contains(late));

  // A directory moved in from elsewhere counts as new too.
  TempFolder outside;
  test::writeFile(outside / "moved/inner/m.jsonl", "z\n");
  std::filesystem::rename(outside / "moved", dir / "moved");
  std::string moved = (dir / "moved/inner/n.jsonl").string();
  drainUntil(watcher, [&](const auto& paths) { return paths.contains((dir / "moved").string()); });
  test::writeFile(moved, "w\n");
  seen = drainUntil(watcher, [&](const auto& paths) { return paths.contains(moved); });
  EXPECT_TRUE(seen.contains(moved));
}

TEST(FileChangeWatcher, AQueueOverflowReportsEveryWatchedDirectory) {
  TempFolder dir;
  std::filesystem::create_directories(dir / "storm");
  std::filesystem::create_directories(dir / "quiet/deeper");
  test::writeFile(dir / "storm/a", "");
  test::writeFile(dir / "storm/b", "");
  // A long batching delay holds the watcher back while the storm fills the kernel's queue
  // (16,384 events by default); alternating files keeps the kernel from merging events.
  FileChangeWatcher watcher({dir.path()}, std::chrono::seconds(3));
  for (int i = 0; i < 40'000; ++i) {
    ::utimensat(AT_FDCWD, (dir / (i % 2 ? "storm/a" : "storm/b")).c_str(), nullptr, 0);
  }
  std::string quiet = (dir / "quiet/deeper").string();
  auto seen = drainUntil(watcher, [&](const auto& paths) { return paths.contains(quiet); });
  EXPECT_TRUE(seen.contains(quiet));
  EXPECT_TRUE(seen.contains(dir.path().string()));
}

TEST(FileChangeWatcher, MissingRootsAndHiddenDirectoriesAreNotWatched) {
  TempFolder dir;
  std::filesystem::create_directories(dir / "seen/.cache");
  FileChangeWatcher watcher({dir / "none", dir / "seen"});
  EXPECT_EQ(watcher.watchedRoots(), std::vector<std::string>{(dir / "seen").string()});
  std::filesystem::create_directories(dir / "none");
  test::writeFile(dir / "none/a.jsonl", "x\n");
  test::writeFile(dir / "seen/.cache/a.jsonl", "x\n");
  const std::string visible = (dir / "seen/visible.jsonl").string();
  test::writeFile(visible, "x\n");
  auto seen = drainUntil(watcher, [&](const auto& paths) { return paths.contains(visible); });
  seen.merge(drainSettled(watcher));
  EXPECT_FALSE(seen.contains((dir / "seen/.cache/a.jsonl").string()));
  EXPECT_FALSE(seen.contains((dir / "none/a.jsonl").string()));
}

}  // namespace
}  // namespace quorvin
