#pragma once

#include "core/Clock.h"

namespace quorvin::server {

class SystemClock final : public Clock {
 public:
  WallTime now() const override { return std::chrono::system_clock::now(); }
};

}  // namespace quorvin::server
