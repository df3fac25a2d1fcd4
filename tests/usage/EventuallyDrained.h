#pragma once

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "usage/FileChangeWatcher.h"

namespace quorvin::test {

// Drains the watcher until `done` holds for everything collected so far, or a generous
// real-time limit passes (kernel events arrive asynchronously; this is not a timing test).
inline std::set<std::string> drainUntil(FileChangeWatcher& watcher,
                                        const std::function<bool(const std::set<std::string>&)>& done) {
  std::set<std::string> seen;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    for (auto& path : watcher.drain()) seen.insert(std::move(path));
    if (done(seen)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return seen;
}

// Waits out the watcher's coalescing delay twice over, then drains.
inline std::set<std::string> drainSettled(FileChangeWatcher& watcher) {
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  auto paths = watcher.drain();
  return {paths.begin(), paths.end()};
}

}  // namespace quorvin::test
