#include "app/UsageSnapshotFormat.h"

#include <boost/json/value.hpp>

#include <cstdio>
#include <ctime>

#include "app/PlainJson.h"
#include "app/TerminalText.h"

namespace quorvin::app {

namespace json = boost::json;

std::string usageSnapshotJson(const LiveUsageOracle::Snapshot& snapshot) {
  json::object root;
  root["counters"] = json::object{{"input", snapshot.counters.input},
                                  {"output", snapshot.counters.output},
                                  {"cacheRead", snapshot.counters.cacheRead},
                                  {"cacheWrite", snapshot.counters.cacheWrite}};
  json::array sources;
  for (const auto& source : snapshot.sources) sources.emplace_back(source);
  root["sources"] = std::move(sources);
  json::array models;
  for (const auto& model : snapshot.models) models.emplace_back(model);
  root["models"] = std::move(models);
  json::object totals;
  for (const auto& [source, total] : snapshot.sourceTotals) totals[source] = total;
  root["sourceTotals"] = std::move(totals);
  json::object costs;
  for (const auto& [source, cost] : snapshot.sourceCosts) costs[source] = cost;
  root["sourceCosts"] = std::move(costs);
  return plainJson(root);
}

namespace {

std::string money(double dollars) {
  char text[64];
  std::snprintf(text, sizeof text, "$%.4f", dollars);
  return text;
}

std::string clockTime(WallTime time) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

std::string row(std::string_view name, int64_t tokens, double cost) {
  char text[128];
  std::snprintf(text, sizeof text, "  %-10.10s %15s %12s\n", std::string(name).c_str(), groupedInteger(tokens).c_str(),
                money(cost).c_str());
  return text;
}

}  // namespace

std::string usageSnapshotTable(const LiveUsageOracle::Snapshot& snapshot, WallTime startedAt) {
  std::string out = "Quorvin live usage since " + clockTime(startedAt) + "\n";
  char header[128];
  std::snprintf(header, sizeof header, "  %-10s %15s %12s\n", "source", "tokens", "cost");
  out += header;
  double totalCost = 0;
  for (const auto& source : snapshot.sources) {
    auto tokens = snapshot.sourceTotals.find(source);
    auto cost = snapshot.sourceCosts.find(source);
    double dollars = cost == snapshot.sourceCosts.end() ? 0.0 : cost->second;
    totalCost += dollars;
    out += row(source, tokens == snapshot.sourceTotals.end() ? 0 : tokens->second, dollars);
  }
  if (snapshot.sources.empty()) out += "  (no agent logs found yet)\n";
  out += row("total", snapshot.counters.total(), totalCost);
  out += "  input " + groupedInteger(snapshot.counters.input) + " · output " +
         groupedInteger(snapshot.counters.output) + " · cache read " + groupedInteger(snapshot.counters.cacheRead) +
         " · cache write " + groupedInteger(snapshot.counters.cacheWrite) + "\n";
  out += "  models:";
  if (snapshot.models.empty()) out += " none yet";
  for (size_t i = 0; i < snapshot.models.size(); ++i) out += (i ? ", " : " ") + printable(snapshot.models[i]);
  out += "\n";
  return out;
}

}  // namespace quorvin::app
