#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <variant>

#include "platform/Paths.h"

namespace quorvin {

// An exclusive advisory lock (flock) on streamer.lock in the data folder, held for the life of
// the process. The kernel drops it when the process dies, so a crashed copy leaves only a stale
// file that the next launch takes over. The file is never deleted.
class SingleInstanceLock {
 public:
  struct CouldNotCreateDirectory {
    std::string message;
  };
  struct CouldNotOpen {
    int error = 0;  // errno
  };
  struct HeldElsewhere {};
  using Outcome = std::variant<std::unique_ptr<SingleInstanceLock>, HeldElsewhere, CouldNotCreateDirectory, CouldNotOpen>;

  static std::filesystem::path defaultPath(const Paths& paths) { return paths.appDataDir() / "streamer.lock"; }
  static Outcome acquireDefault(const Paths& paths) { return acquire(defaultPath(paths)); }
  // Creates the parent folders, opens the file (0600, never through a symbolic link), locks it
  // without waiting and writes this process id and a line feed.
  static Outcome acquire(const std::filesystem::path& file);
  // The log text of a failed outcome.
  static std::string describe(const Outcome& outcome);

  ~SingleInstanceLock();
  SingleInstanceLock(const SingleInstanceLock&) = delete;
  SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;
  int descriptor() const { return descriptor_; }

 private:
  explicit SingleInstanceLock(int descriptor) : descriptor_(descriptor) {}
  int descriptor_;
};

}  // namespace quorvin
