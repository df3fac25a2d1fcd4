#include "ledger/LedgerDocument.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <ctime>
#include <map>
#include <set>

#include "platform/Paths.h"
#include "usage/UsageCostEstimator.h"

namespace quorvin::ledger {

namespace json = boost::json;

namespace {

// A log that names no model still counts; it is listed under this name, unpriced.
constexpr std::string_view kUnnamedModel = "unknown";

struct Sum {
  UsageCounters counters;
  double cost = 0;
  void add(const UsageCounters& more, double moreCost) {
    counters += more;
    cost += moreCost;
  }
};

json::object countersObject(const UsageCounters& counters) {
  return json::object{{"inputTokens", counters.input},
                      {"outputTokens", counters.output},
                      {"cacheReadTokens", counters.cacheRead},
                      {"cacheCreationTokens", counters.cacheWrite},
                      {"totalTokens", counters.total()}};
}

std::string isoTime(WallTime at) {
  const std::time_t time = std::chrono::system_clock::to_time_t(at);
  std::tm utc{};
  ::gmtime_r(&time, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

}  // namespace

std::string ledgerJson(const Cells& cells, WallTime generatedAt) {
  Sum total;
  std::map<std::string, std::map<std::string, Sum>> monthModels;
  std::map<std::string, std::set<std::string>> monthAgents;
  std::map<std::string, Sum> agents;
  for (const auto& [key, counters] : cells) {
    const auto& [month, agent, model] = key;
    if (counters.isZero()) continue;
    const double cost = UsageCostEstimator::estimate(
        counters, model.empty() ? std::nullopt : std::optional<std::string_view>(model));
    const std::string name = model.empty() ? std::string(kUnnamedModel) : model;
    total.add(counters, cost);
    monthModels[month][name].add(counters, cost);
    monthAgents[month].insert(agent);
    agents[agent].add(counters, cost);
  }

  json::array monthly;
  for (const auto& [month, models] : monthModels) {
    Sum monthSum;
    json::array breakdowns;
    json::array used;
    for (const auto& [name, sum] : models) {
      monthSum.add(sum.counters, sum.cost);
      json::object row = countersObject(sum.counters);
      row["modelName"] = name;
      row["cost"] = sum.cost;
      breakdowns.push_back(std::move(row));
      used.push_back(json::string(name));
    }
    json::object entry = countersObject(monthSum.counters);
    entry["month"] = month;
    entry["totalCost"] = monthSum.cost;
    entry["modelsUsed"] = std::move(used);
    entry["modelBreakdowns"] = std::move(breakdowns);
    json::array agentNames;
    for (const auto& agent : monthAgents[month]) agentNames.push_back(json::string(agent));
    entry["metadata"] = json::object{{"agents", std::move(agentNames)}};
    monthly.push_back(std::move(entry));
  }

  json::object agentTotals;
  for (const auto& [agent, sum] : agents) {
    json::object totals = countersObject(sum.counters);
    totals["totalCost"] = sum.cost;
    agentTotals[agent] = json::object{{"totals", std::move(totals)}};
  }

  json::object totals = countersObject(total.counters);
  totals["totalCost"] = total.cost;
  json::object root{{"generatedAt", isoTime(generatedAt)},
                    {"generator", "quorvin ledger"},
                    {"totals", std::move(totals)},
                    {"monthly", std::move(monthly)},
                    {"agents", std::move(agentTotals)}};
  return json::serialize(root);
}

bool writeAtomically(const std::filesystem::path& path, std::span<const std::string_view> pieces,
                     Durability durability) {
  const auto directory = path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path();
  // The folder lists what the user's agents cost and which models they ran: theirs alone.
  if (!ensurePrivateDirectory(directory)) return false;
  std::string temporary = (directory / ("." + path.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);  // created 0600
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, 0600) == 0;
  for (std::string_view text : pieces) {
    for (size_t written = 0; ok && written < text.size();) {
      const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
      if (n <= 0) ok = false;
      else written += static_cast<size_t>(n);
    }
  }
  // The data must be on disk before the name points at it, or a crash could leave an
  // empty ledger behind the new name.
  if (durability == Durability::flushed) ok = ok && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  if (durability == Durability::checksummed) return true;
  const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

}  // namespace quorvin::ledger
