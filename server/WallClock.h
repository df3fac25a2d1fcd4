#pragma once

#include <chrono>

#include "core/Clock.h"

namespace quorvin::server {

// The service's real time. The service only reads the time (its waits are socket time-outs),
// so it needs no sleeping clock from the app's platform layer.
class WallClock final : public Clock {
 public:
  WallTime now() const override { return std::chrono::system_clock::now(); }
};

}  // namespace quorvin::server
