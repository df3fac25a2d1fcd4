#pragma once

#include <boost/json/object.hpp>
#include <string>

#include "core/Time.h"
#include "publishing/ConnectionState.h"

namespace quorvin {

// What the running copy answers to `quorvin status`: its state as one JSON object, with the
// tray's text, tooltip and class so status bars without a tray host show the same thing.
boost::json::object statusReport(const ConnectionState& state, WallTime now);

// The tray's cost text: whole dollars, thousands grouped ("$1,234"); negative shows as $0.
std::string exactCostText(double dollars);
// The tray's one-line tooltip.
std::string trayTooltip(const ConnectionState& state, WallTime now);

}  // namespace quorvin
