#pragma once

#include <chrono>
#include <cstddef>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/Time.h"
#include "core/UsageCounters.h"

namespace quorvin {

// Counters last seen per event identifier, shared by every file of one source so that a
// message logged in two files counts once. Memory is bounded: identifiers unseen for
// `idleLimit` are forgotten, and beyond `maxEntries` the least recently seen go first.
// Time comes from the caller. Safe to share between threads.
class UsageEventLedger {
 public:
  static constexpr std::chrono::seconds kDefaultIdleLimit = std::chrono::hours(6);
  // About 4 MB at most. A heavy day of Claude Code use logs a few thousand messages, and
  // the repeats that matter (content blocks, streaming snapshots) follow within seconds.
  static constexpr size_t kDefaultMaxEntries = 20'000;

  explicit UsageEventLedger(std::chrono::seconds idleLimit = kDefaultIdleLimit,
                            size_t maxEntries = kDefaultMaxEntries);

  // Repeated reports of one event: a new identifier counts in full; a known one counts its
  // growth, field by field, over the largest figures reported for it so far, and nothing
  // when it did not grow. Unlike a file's own `seenEvents`, a report that went down does
  // not lower the baseline: across files a lower report is an older copy of the same
  // message (a resumed session replays its streaming snapshots), and lowering the baseline
  // would count the message's final figures a second time.
  std::optional<UsageCounters> admit(std::string_view id, const UsageCounters& counters, WallTime now);

  // Raises the identifier's baseline to `counters` without counting anything.
  void remember(std::string_view id, const UsageCounters& counters, WallTime now);

  // Drops the identifiers unseen for the idle limit; also done on every admit. For a
  // caller's periodic tick, so memory is returned even when no usage arrives.
  void forgetIdle(WallTime now);

  size_t size() const;

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
  };
  using Order = std::list<const std::string*>;  // keys of entries_, whose nodes never move
  struct Entry {
    UsageCounters counters;
    WallTime lastSeen;
    Order::iterator position;
  };

  // Returns the entry for `id`, created when absent (then `created` is set), moved to the
  // most recent end, with idle and surplus entries dropped.
  Entry& touch(std::string_view id, WallTime now, bool& created);
  void forgetIdleLocked(WallTime now);

  const std::chrono::seconds idleLimit_;
  const size_t maxEntries_;
  mutable std::mutex mutex_;
  Order order_;  // least recently seen first
  std::unordered_map<std::string, Entry, Hash, std::equal_to<>> entries_;
};

}  // namespace quorvin
