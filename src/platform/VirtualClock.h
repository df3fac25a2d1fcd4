#pragma once

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/system/error_code.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "platform/PendingHandler.h"
#include "platform/RuntimeClock.h"

namespace quorvin {

class Runtime;

// Time for tests. It stands still until a test moves it: advance() by hand, or run(),
// which drives the model thread and jumps to the next due sleep whenever every task is
// waiting (nothing ready on the model thread and nothing in flight on the pool). A
// schedule of hundreds of multi-second sleeps runs in milliseconds.
class VirtualClock final : public RuntimeClock {
 public:
  // 2026-01-01T00:00:00Z unless told otherwise.
  explicit VirtualClock(WallTime start = WallTime(std::chrono::seconds(1'767'225'600)));
  ~VirtualClock() override;

  WallTime now() const override;
  boost::asio::awaitable<void> sleep(Duration duration) override;

  // Moves time forward and wakes every sleep that is due (their resumptions are posted).
  void advance(Duration duration);
  // Moves time to the earliest pending sleep and wakes it; false when nothing sleeps.
  bool advanceToNextSleep();
  std::size_t sleepers() const;
  void cancelSleeps() override;

  // Drives the runtime's model context on this thread until `done()` holds (checked after
  // every handler) or nothing can happen any more (no ready work, nothing in flight, no
  // sleeper). Returns whether `done()` held. Pool work and child processes are waited for
  // in real time; only sleeps are skipped.
  bool run(Runtime& runtime, const std::function<bool()>& done);
  // Drives until nothing can happen any more.
  void runUntilIdle(Runtime& runtime);

 private:
  using Sleeper = PendingHandler<void(boost::system::error_code)>;
  struct Initiation;
  struct CancelSleep;

  void wake(std::multimap<WallTime, std::pair<uint64_t, Sleeper>>::node_type node, boost::system::error_code ec);
  void cancelSleeper(uint64_t id);

  mutable std::mutex mutex_;
  WallTime now_;
  uint64_t nextId_ = 1;
  std::multimap<WallTime, std::pair<uint64_t, Sleeper>> sleepers_;
};

}  // namespace quorvin
