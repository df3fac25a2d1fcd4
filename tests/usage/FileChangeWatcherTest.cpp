#include "usage/FileChangeWatcher.h"

#include <gtest/gtest.h>

#include "usage/EventuallyDrained.h"
#include "usage/TempDirectory.h"

namespace quorvin {
namespace {

using test::drainSettled;
using test::drainUntil;
using test::TempDirectory;

TEST(FileChangeWatcher, ReportsEachChangedFileOnceAndDrainEmptiesTheSet) {
  TempDirectory dir;
  std::filesystem::create_directories(dir / "logs/deep");
  FileChangeWatcher watcher({dir / "logs", dir / "missing"});
  ASSERT_EQ(watcher.watchedRoots(), std::vector<std::string>{(dir / "logs").string()});

  std::string file = (dir / "logs/deep/a.jsonl").string();
  for (int i = 0; i < 10; ++i) test::appendFile(file, "line\n");
  auto seen = drainUntil(watcher, [&](const auto& paths) { return paths.contains(file); });
  EXPECT_TRUE(seen.contains(file));

  auto again = drainSettled(watcher);
  EXPECT_FALSE(again.contains(file));
  EXPECT_TRUE(watcher.drain().empty());
}

TEST(FileChangeWatcher, DrainIsSortedAndHoldsEachPathOnce) {
  TempDirectory dir;
  FileChangeWatcher watcher({dir.path()});
  for (const char* name : {"c.jsonl", "a.jsonl", "b.jsonl"}) {
    for (int i = 0; i < 5; ++i) test::appendFile(dir / name, "x\n");
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  auto paths = watcher.drain();
  ASSERT_EQ(paths.size(), 3u);
  EXPECT_TRUE(std::is_sorted(paths.begin(), paths.end()));
}

TEST(FileChangeWatcher, NewDirectoriesAreWatchedAndReportedForRescan) {
  TempDirectory dir;
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
  TempDirectory outside;
  test::writeFile(outside / "moved/inner/m.jsonl", "z\n");
  std::filesystem::rename(outside / "moved", dir / "moved");
  std::string moved = (dir / "moved/inner/n.jsonl").string();
  drainUntil(watcher, [&](const auto& paths) { return paths.contains((dir / "moved").string()); });
  test::writeFile(moved, "w\n");
  seen = drainUntil(watcher, [&](const auto& paths) { return paths.contains(moved); });
  EXPECT_TRUE(seen.contains(moved));
}

TEST(FileChangeWatcher, WithoutExistingPathsNothingIsEverReported) {
  TempDirectory dir;
  FileChangeWatcher watcher({dir / "none", dir / "neither"});
  EXPECT_TRUE(watcher.watchedRoots().empty());
  std::filesystem::create_directories(dir / "none");
  test::writeFile(dir / "none/a.jsonl", "x\n");
  EXPECT_TRUE(drainSettled(watcher).empty());
}

TEST(FileChangeWatcher, HiddenDirectoriesAreNotWatched) {
  TempDirectory dir;
  std::filesystem::create_directories(dir / ".cache");
  FileChangeWatcher watcher({dir.path()});
  test::writeFile(dir / ".cache/a.jsonl", "x\n");
  test::writeFile(dir / "visible.jsonl", "x\n");
  std::string visible = (dir / "visible.jsonl").string();
  auto seen = drainUntil(watcher, [&](const auto& paths) { return paths.contains(visible); });
  EXPECT_FALSE(seen.contains((dir / ".cache/a.jsonl").string()));
}

}  // namespace
}  // namespace quorvin
