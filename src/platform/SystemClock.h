#pragma once

#include "platform/RuntimeClock.h"

namespace quorvin {

// Real time: wall time from the system clock, sleeps on a steady (monotonic) timer so a
// change of the wall clock does not stretch or cut a wait.
class SystemClock final : public RuntimeClock {
 public:
  WallTime now() const override;
  boost::asio::awaitable<void> sleep(Duration duration) override;
};

}  // namespace quorvin
