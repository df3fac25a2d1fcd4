#include "app/LedgerFormat.h"

#include <charconv>
#include <cstdio>
#include <map>

#include "app/TerminalText.h"
#include "usage/UsageCostEstimator.h"

namespace quorvin::app {

namespace {

struct Row {
  UsageCounters counters;
  double cost = 0;
};

std::string row(const std::string& label, const Row& sums) {
  char cost[32];
  std::snprintf(cost, sizeof cost, "$%.2f", sums.cost);
  char text[256];
  std::snprintf(text, sizeof text, "%-10s %16s %14s %18s %16s %18s %12s\n", label.c_str(),
                groupedInteger(sums.counters.input).c_str(), groupedInteger(sums.counters.output).c_str(),
                groupedInteger(sums.counters.cacheRead).c_str(), groupedInteger(sums.counters.cacheWrite).c_str(),
                groupedInteger(sums.counters.total()).c_str(), cost);
  return text;
}

}  // namespace

std::string ledgerText(const ledger::Cells& cells) {
  std::map<std::string, Row> months;
  std::map<std::string, Row> agents;
  Row total;
  for (const auto& [key, counters] : cells) {
    const auto& [month, agent, model] = key;
    const double cost =
        UsageCostEstimator::estimate(counters, model.empty() ? std::nullopt : std::optional<std::string_view>(model));
    for (Row* into : {&months[month], &agents[agent], &total}) {
      into->counters += counters;
      into->cost += cost;
    }
  }
  char heading[256];
  std::snprintf(heading, sizeof heading, "%-10s %16s %14s %18s %16s %18s %12s\n", "Month", "Input", "Output",
                "Cache read", "Cache write", "Total", "Cost");
  std::string out = heading;
  for (const auto& [month, sums] : months) out += row(month, sums);
  out += "\n";
  for (const auto& [agent, sums] : agents) out += row(agent, sums);
  out += "\n" + row("Total", total);
  return out;
}

std::optional<ledger::Day> parseDay(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  int year = 0;
  unsigned month = 0, day = 0;
  auto number = [&](size_t at, size_t length, auto& into) {
    auto [end, ec] = std::from_chars(text.data() + at, text.data() + at + length, into);
    return ec == std::errc() && end == text.data() + at + length;
  };
  if (!number(0, 4, year) || !number(5, 2, month) || !number(8, 2, day)) return std::nullopt;
  const std::chrono::year_month_day date{std::chrono::year(year), std::chrono::month(month), std::chrono::day(day)};
  if (!date.ok()) return std::nullopt;
  return static_cast<ledger::Day>(std::chrono::sys_days(date).time_since_epoch().count());
}

}  // namespace quorvin::app
