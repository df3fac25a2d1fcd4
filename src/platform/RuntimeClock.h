#pragma once

#include <boost/asio/awaitable.hpp>
#include <chrono>

#include "core/Clock.h"

namespace quorvin {

using Duration = std::chrono::milliseconds;

// A Clock that can also sleep. Every wait of the program goes through it, so tests drive
// time with a VirtualClock.
class RuntimeClock : public Clock {
 public:
  // Resumes the calling coroutine (on its own executor) once `duration` has passed on this
  // clock. Cancellation of the awaiting task ends the sleep early with
  // boost::asio::error::operation_aborted (thrown as boost::system::system_error).
  virtual boost::asio::awaitable<void> sleep(Duration duration) = 0;
  // Ends every pending sleep at once with operation_aborted, for a runtime that shuts down
  // while a clock it does not own still holds its sleepers. Timers of the real clock belong
  // to the runtime's own executors and go with it, so this does nothing there.
  virtual void cancelSleeps() {}
};

}  // namespace quorvin
