#pragma once

#include <boost/json/object.hpp>
#include <string>

namespace quorvin::app {

enum class StatusOutput { text, json, waybar, polybar };

// Formats the running copy's status report (see shell/StatusReport.h) for the terminal, as
// one JSON object, as a waybar custom module line ({"text","tooltip","class"}) or as a polybar
// line (the tray text). Fields the report lacks are left out.
std::string formatStatus(const boost::json::object& report, StatusOutput output);

}  // namespace quorvin::app
