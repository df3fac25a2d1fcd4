#include "app/StatusFormat.h"

#include <boost/json/serialize.hpp>
#include <cstdio>

namespace quorvin::app {

namespace {

std::string text(const boost::json::object& report, const char* key) {
  const auto* value = report.if_contains(key);
  return value && value->is_string() ? std::string(value->get_string()) : std::string();
}

std::string number(const boost::json::object& report, const char* key, const char* format) {
  const auto* value = report.if_contains(key);
  if (!value || !value->is_number()) return {};
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value->to_number<double>());
  return buffer;
}

// Polybar reads one line; a line feed or a % (its format escape) in outside text would break it.
std::string polybarSafe(std::string line) {
  std::string out;
  for (char c : line) {
    if (c == '\n' || c == '\r') continue;
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

}  // namespace

std::string formatStatus(const boost::json::object& report, StatusOutput output) {
  switch (output) {
    case StatusOutput::json:
      return boost::json::serialize(report);
    case StatusOutput::waybar: {
      boost::json::object line;
      line["text"] = text(report, "text");
      line["tooltip"] = text(report, "tooltip");
      line["class"] = text(report, "class");
      return boost::json::serialize(line);
    }
    case StatusOutput::polybar:
      return polybarSafe(text(report, "text"));
    case StatusOutput::text:
      break;
  }
  std::string out;
  const auto add = [&out](const char* label, const std::string& value) {
    if (!value.empty()) out += std::string(label) + ": " + value + "\n";
  };
  add("Status", text(report, "status"));
  add("Pair code", text(report, "pairingCode"));
  add("Handle", text(report, "handle"));
  add("Tokens", number(report, "tokens", "%.0f"));
  add("Cost", number(report, "cost", "$%.2f"));
  add("Public tokens", number(report, "publicTokens", "%.0f"));
  add("Public cost", number(report, "publicCost", "$%.2f"));
  add("Tokens per minute", number(report, "tokensPerMinute", "%.0f"));
  add("Last sync", text(report, "lastSync"));
  add("Last error", text(report, "lastError"));
  add("Update", text(report, "updateStatus"));
  add("Savings", text(report, "savingsStatus"));
  return out;
}

}  // namespace quorvin::app
