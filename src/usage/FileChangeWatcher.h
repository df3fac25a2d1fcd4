#pragma once

#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace quorvin {

// Collects the paths that changed below a few directories, for the live usage oracle to
// take on each snapshot. It neither filters nor reads files.
//
// Linux inotify has no recursive watch, so there is one watch per directory. A directory
// created later is watched at once and reported itself, because files may have been
// written into it before its watch existed; the oracle rescans a reported directory.
// When the kernel's event queue overflows, every watched directory is reported so that
// the oracle rescans everything. Events are read on the watcher's own thread and handed
// over at most every 0.2 seconds, so a busy writer wakes it at most five times a second.
class FileChangeWatcher {
 public:
  // Watches the paths that exist now; with none, nothing is ever reported.
  explicit FileChangeWatcher(const std::vector<std::filesystem::path>& paths);
  ~FileChangeWatcher();
  FileChangeWatcher(const FileChangeWatcher&) = delete;
  FileChangeWatcher& operator=(const FileChangeWatcher&) = delete;

  // The paths reported since the last drain, sorted ascending, and empties the set.
  std::vector<std::string> drain();

  // The standardized watch paths that existed at construction, in the given order.
  const std::vector<std::string>& watchedRoots() const noexcept { return roots_; }

 private:
  void run();
  void readEvents(std::set<std::string>& batch);
  void watchTree(const std::string& directory, std::set<std::string>* report, bool followRoot);
  void reportEverything(std::set<std::string>& batch);

  std::vector<std::string> roots_;
  int inotify_ = -1;
  int stop_ = -1;
  std::unordered_map<int, std::string> directories_;  // watch descriptor -> path; watcher thread only
  bool warnedAboutLimit_ = false;
  std::mutex lock_;
  std::set<std::string> pending_;  // guarded by lock_
  std::thread thread_;
};

}  // namespace quorvin
