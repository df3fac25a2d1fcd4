#include "sources/CcusageJson.h"

#include <algorithm>
#include <boost/json.hpp>
#include <charconv>
#include <cmath>
#include <map>
#include <set>
#include <string>
#include <unordered_map>

#include "core/SaturatingMath.h"
#include "sources/CcusageMerge.h"

namespace quorvin::CcusageJson {

namespace json = boost::json;

namespace {

const json::value* member(const json::value* object, std::string_view key) {
  if (object == nullptr || !object->is_object()) return nullptr;
  return object->get_object().if_contains(json::string_view(key.data(), key.size()));
}

std::optional<int64_t> parseInteger(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) return std::nullopt;
  }
  int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<double> parseDouble(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

// Counts and costs of outside figures: a negative one counts as 0, so that no total, row
// or upload ever carries one (the service refuses them).
int64_t countOf(const json::value* value) { return std::max<int64_t>(intVal(value).value_or(0), 0); }
double costOf(const json::value* value) {
  const double cost = doubleVal(value).value_or(0);
  return cost > 0 ? cost : 0;
}

struct Acc {
  int64_t input = 0;
  int64_t output = 0;
  int64_t cacheRead = 0;
  int64_t cacheWrite = 0;
  double cost = 0;
};

}  // namespace

std::optional<int64_t> intVal(const json::value* value) {
  if (value == nullptr) return std::nullopt;
  switch (value->kind()) {
    case json::kind::int64: return value->get_int64();
    case json::kind::uint64:
      if (value->get_uint64() > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
      return static_cast<int64_t>(value->get_uint64());
    case json::kind::double_: {
      const double d = std::trunc(value->get_double());
      // 2^63 itself does not fit; every double below it does.
      if (!std::isfinite(d) || d < -9223372036854775808.0 || d >= 9223372036854775808.0) return std::nullopt;
      return static_cast<int64_t>(d);
    }
    case json::kind::string: return parseInteger(value->get_string());
    default: return std::nullopt;
  }
}

std::optional<double> doubleVal(const json::value* value) {
  if (value == nullptr) return std::nullopt;
  switch (value->kind()) {
    case json::kind::int64: return static_cast<double>(value->get_int64());
    case json::kind::uint64: return static_cast<double>(value->get_uint64());
    case json::kind::double_:
      if (!std::isfinite(value->get_double())) return std::nullopt;
      return value->get_double();
    case json::kind::string: return parseDouble(value->get_string());
    default: return std::nullopt;
  }
}

std::vector<API::ModelRow> aggregateModels(const json::value* entries) {
  std::vector<API::ModelRow> rows;
  if (entries == nullptr || !entries->is_array()) return rows;
  std::unordered_map<std::string, size_t> rowOfName;
  std::vector<Acc> sums;
  for (const json::value& entry : entries->get_array()) {
    const json::value* breakdowns = member(&entry, "modelBreakdowns");
    if (breakdowns == nullptr || !breakdowns->is_array()) continue;
    for (const json::value& breakdown : breakdowns->get_array()) {
      if (!breakdown.is_object()) continue;
      const json::value* name = member(&breakdown, "modelName");
      if (name == nullptr) name = member(&breakdown, "model");
      if (name == nullptr || !name->is_string() || name->get_string().empty()) continue;
      auto [it, inserted] = rowOfName.try_emplace(std::string(name->get_string()), rows.size());
      if (inserted) {
        rows.push_back(API::ModelRow{.name = it->first});
        sums.emplace_back();
      }
      Acc& acc = sums[it->second];
      acc.input = saturatingAdd(acc.input, countOf(member(&breakdown, "inputTokens")));
      acc.output = saturatingAdd(acc.output, countOf(member(&breakdown, "outputTokens")));
      acc.cacheRead = saturatingAdd(acc.cacheRead, countOf(member(&breakdown, "cacheReadTokens")));
      acc.cacheWrite = saturatingAdd(acc.cacheWrite, countOf(member(&breakdown, "cacheCreationTokens")));
      // Saturates: two huge costs must not make an infinity that no JSON can carry.
      acc.cost = CcusageMerge::addCost(acc.cost, costOf(member(&breakdown, "cost")));
    }
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    rows[i].input = sums[i].input;
    rows[i].output = sums[i].output;
    rows[i].cacheRead = sums[i].cacheRead;
    rows[i].cacheWrite = sums[i].cacheWrite;
    rows[i].cost = sums[i].cost;
  }
  std::stable_sort(rows.begin(), rows.end(), [](const API::ModelRow& a, const API::ModelRow& b) { return a.cost > b.cost; });
  return rows;
}

std::vector<API::AgentRow> aggregateAgents(const json::value* entries) {
  std::set<std::string> names;
  if (entries != nullptr && entries->is_array()) {
    for (const json::value& entry : entries->get_array()) {
      const json::value* metadata = member(&entry, "metadata");
      if (metadata == nullptr || !metadata->is_object()) continue;
      const json::value* agent = member(metadata, "agent");
      if (agent != nullptr && agent->is_string() && !agent->get_string().empty() && agent->get_string() != "all") {
        names.emplace(agent->get_string());
      }
      const json::value* agents = member(metadata, "agents");
      if (agents == nullptr || !agents->is_array()) continue;
      for (const json::value& name : agents->get_array()) {
        if (name.is_string() && !name.get_string().empty()) names.emplace(name.get_string());
      }
    }
  }
  std::vector<API::AgentRow> rows;
  for (const auto& name : names) rows.push_back(API::AgentRow{.name = name});
  return rows;
}

std::vector<API::AgentRow> aggregateAgentTotals(const json::value* agents) {
  std::vector<API::AgentRow> rows;
  if (agents == nullptr || !agents->is_object()) return rows;
  for (const auto& [name, value] : agents->get_object()) {
    const json::value* totals = member(&value, "totals");
    const auto tokens = intVal(member(totals, "totalTokens"));
    if (!tokens || *tokens < 1) continue;
    rows.push_back(API::AgentRow{std::string(name), *tokens, costOf(member(totals, "totalCost"))});
  }
  std::sort(rows.begin(), rows.end(), [](const API::AgentRow& a, const API::AgentRow& b) {
    if (a.tokens != b.tokens) return a.tokens > b.tokens;
    return a.name < b.name;
  });
  return rows;
}

namespace {

// The value of the first key present; later keys are not consulted once one is there.
const json::value* firstPresent(const json::value* object, std::initializer_list<std::string_view> keys) {
  for (auto key : keys) {
    if (const json::value* v = member(object, key)) return v;
  }
  return nullptr;
}

std::optional<int64_t> optionalCount(const json::value* value) {
  const auto count = intVal(value);
  if (!count) return std::nullopt;
  return std::max<int64_t>(*count, 0);
}

void readCounters(const json::value* totals, API::Totals& into) {
  into.input = optionalCount(member(totals, "inputTokens"));
  into.output = optionalCount(member(totals, "outputTokens"));
  into.cacheRead = optionalCount(member(totals, "cacheReadTokens"));
  into.cacheWrite = optionalCount(member(totals, "cacheCreationTokens"));
}

std::optional<json::value> parseObject(std::string_view text) {
  std::error_code ec;
  json::value root = json::parse(json::string_view(text.data(), text.size()), ec);
  if (ec || !root.is_object()) return std::nullopt;
  return root;
}

}  // namespace

std::optional<API::Totals> ccusageTotals(const json::value& root) {
  const json::value* totals = member(&root, "totals");
  if (totals == nullptr || !totals->is_object()) return std::nullopt;
  const auto total = intVal(firstPresent(totals, {"totalTokens", "tokensTotal", "total"}));
  if (!total) return std::nullopt;
  API::Totals result;
  result.total = std::max<int64_t>(*total, 0);
  result.cost = costOf(firstPresent(totals, {"totalCost", "costUSD", "costUsdTotal", "cost"}));
  readCounters(totals, result);
  const json::value* daily = member(&root, "daily");
  result.agents = aggregateAgents(daily);
  if (result.agents.empty()) result.agents.push_back(API::AgentRow{.name = "detected"});
  result.models = aggregateModels(daily);
  return result;
}

std::optional<json::object> toolOutputObject(std::string_view output) {
  if (auto root = parseObject(output)) return std::move(root->get_object());
  // A login profile may print a greeting before the tool runs: start at the first line
  // that opens an object.
  for (size_t at = 0; at < output.size(); ++at) {
    const bool lineStart = at == 0 || output[at - 1] == '\n';
    if (!lineStart) continue;
    size_t first = at;
    while (first < output.size() && (output[first] == ' ' || output[first] == '\t' || output[first] == '\r')) ++first;
    if (first < output.size() && output[first] == '{') {
      if (at == 0) return std::nullopt;  // the whole output was that line and did not decode
      auto root = parseObject(output.substr(first));
      if (!root) return std::nullopt;
      return std::move(root->get_object());
    }
  }
  return std::nullopt;
}

std::optional<API::Totals> ccusageTotalsOfText(std::string_view jsonText) {
  auto root = toolOutputObject(jsonText);
  if (!root) return std::nullopt;
  return ccusageTotals(json::value(std::move(*root)));
}

std::optional<API::Totals> ledgerTotals(const json::value& root) {
  const json::value* totals = member(&root, "totals");
  const auto total = intVal(member(totals, "totalTokens"));
  if (!total) return std::nullopt;
  API::Totals result;
  result.total = std::max<int64_t>(*total, 0);
  result.cost = costOf(member(totals, "totalCost"));
  readCounters(totals, result);
  const json::value* monthly = member(&root, "monthly");
  result.models = aggregateModels(monthly);
  result.agents = aggregateAgentTotals(member(&root, "agents"));
  if (result.agents.empty()) result.agents = aggregateAgents(monthly);
  const json::value* revision = member(member(&root, "corrections"), "accountingRevision");
  if (revision != nullptr && revision->is_string()) result.accountingRevision = std::string(revision->get_string());
  return result;
}

std::optional<API::Totals> ledgerTotalsOfText(std::string_view jsonText) {
  const auto root = parseObject(jsonText);
  if (!root) return std::nullopt;
  return ledgerTotals(*root);
}

}  // namespace quorvin::CcusageJson
