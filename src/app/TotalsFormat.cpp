#include "app/TotalsFormat.h"

#include <boost/json.hpp>
#include <cstdio>
#include <optional>

#include "app/PlainJson.h"
#include "app/TerminalText.h"
#include "core/SaturatingMath.h"

namespace quorvin::app {

namespace {

template <class T>
boost::json::value orNull(const std::optional<T>& value) {
  if (!value) return nullptr;
  return boost::json::value(*value);
}

std::string dollars(double cost) {
  char text[64];
  std::snprintf(text, sizeof text, "$%.2f", cost);
  return text;
}

std::string counter(const std::optional<int64_t>& value) {
  return value ? groupedInteger(*value) : "not reported";
}

}  // namespace

std::string totalsJson(const API::Totals& totals) {
  boost::json::array models;
  for (const auto& row : totals.models) {
    models.push_back({{"name", row.name},
                      {"input", row.input},
                      {"output", row.output},
                      {"cacheRead", row.cacheRead},
                      {"cacheWrite", row.cacheWrite},
                      {"cost", row.cost}});
  }
  boost::json::array agents;
  for (const auto& row : totals.agents)
    agents.push_back({{"name", row.name}, {"tokens", row.tokens}, {"cost", row.cost}});
  boost::json::object root;
  root["total"] = totals.total;
  root["cost"] = totals.cost;
  root["input"] = orNull(totals.input);
  root["output"] = orNull(totals.output);
  root["cacheRead"] = orNull(totals.cacheRead);
  root["cacheWrite"] = orNull(totals.cacheWrite);
  root["models"] = std::move(models);
  root["agents"] = std::move(agents);
  root["liveTotal"] = orNull(totals.liveTotal);
  root["liveCost"] = orNull(totals.liveCost);
  root["accountingRevision"] = orNull(totals.accountingRevision);
  return plainJson(root);
}

std::string totalsText(const API::Totals& totals) {
  std::string out;
  out += labelledLine("Total tokens", groupedInteger(totals.total));
  out += labelledLine("Cost", dollars(totals.cost));
  out += labelledLine("Input", counter(totals.input));
  out += labelledLine("Output", counter(totals.output));
  out += labelledLine("Cache read", counter(totals.cacheRead));
  out += labelledLine("Cache write", counter(totals.cacheWrite));
  if (totals.liveTotal) out += labelledLine("Live tokens", groupedInteger(*totals.liveTotal));
  if (totals.liveCost) out += labelledLine("Live cost", dollars(*totals.liveCost));
  if (totals.accountingRevision) out += labelledLine("Accounting revision", printable(*totals.accountingRevision));
  if (!totals.models.empty()) {
    out += "\nModels\n";
    for (const auto& row : totals.models) {
      const int64_t tokens =
          saturatingAdd(saturatingAdd(row.input, row.output), saturatingAdd(row.cacheRead, row.cacheWrite));
      out += labelledLine("  " + printable(row.name), groupedInteger(tokens) + " tokens  " + dollars(row.cost));
    }
  }
  if (!totals.agents.empty()) {
    out += "\nAgents\n";
    for (const auto& row : totals.agents) {
      out += row.tokens > 0 ? labelledLine("  " + printable(row.name),
                                           groupedInteger(row.tokens) + " tokens  " + dollars(row.cost))
                            : "  " + printable(row.name) + "\n";
    }
  }
  return out;
}

}  // namespace quorvin::app
