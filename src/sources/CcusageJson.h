#pragma once

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "wire/UsageTotals.h"

namespace quorvin::CcusageJson {

// Lenient numbers of outside JSON: integers, whole parts of finite doubles in range, and
// strings in decimal integer form with an optional sign.
std::optional<int64_t> intVal(const boost::json::value* value);
// Doubles, integers, and strings that parse as a finite decimal number.
std::optional<double> doubleVal(const boost::json::value* value);

// Per-model sums of the entries' "modelBreakdowns", sorted by cost descending.
std::vector<API::ModelRow> aggregateModels(const boost::json::value* entries);
// Agent names from the entries' "metadata" ("agent", "agents"), each with 0 tokens.
std::vector<API::AgentRow> aggregateAgents(const boost::json::value* entries);
// A tokens ledger's "agents" object with real totals, sorted by tokens descending.
std::vector<API::AgentRow> aggregateAgentTotals(const boost::json::value* agents);

// The JSON object the tool printed. When the whole output is not one, it is read from the
// first line that opens an object to the end (a login shell's profile may greet first).
std::optional<boost::json::object> toolOutputObject(std::string_view output);

// Totals of ccusage's `--json` output; nothing without a readable total. Negative counts
// and costs count as 0.
std::optional<API::Totals> ccusageTotals(const boost::json::value& root);
std::optional<API::Totals> ccusageTotalsOfText(std::string_view jsonText);

// A tokens ledger file's content; nothing without a readable "totals"."totalTokens".
std::optional<API::Totals> ledgerTotals(const boost::json::value& root);
std::optional<API::Totals> ledgerTotalsOfText(std::string_view jsonText);

}  // namespace quorvin::CcusageJson
