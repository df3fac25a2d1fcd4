#pragma once

#include "core/Time.h"

namespace quorvin {

// Every read of the time goes through a Clock so tests can move time themselves.
// Sleeping is added by RuntimeClock (platform/RuntimeClock.h).
class Clock {
 public:
  virtual ~Clock() = default;
  virtual WallTime now() const = 0;
};

}  // namespace quorvin
