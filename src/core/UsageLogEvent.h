#pragma once

#include <optional>
#include <string>

#include "core/UsageCounters.h"

namespace quorvin {

// One unit of usage found in a log: already a delta, never a running total.
struct UsageLogEvent {
  UsageCounters counters;
  std::optional<std::string> model;  // cleaned label; absent when the line names none

  bool operator==(const UsageLogEvent&) const = default;
};

}  // namespace quorvin
