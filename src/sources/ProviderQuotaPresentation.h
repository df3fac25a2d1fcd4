#pragma once

#include <optional>
#include <string>

#include "core/Time.h"

namespace quorvin::ProviderQuotaPresentation {

// Time left in a window: "reset —", "reset now", "reset <1m", "reset 12m", "reset 3h", "reset 6d".
std::string resetText(std::optional<WallTime> resetsAt, WallTime now);

}  // namespace quorvin::ProviderQuotaPresentation
