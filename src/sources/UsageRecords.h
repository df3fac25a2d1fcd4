#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvin {

// The lifetime figures of this machine as the reconciliation produces them. They carry
// the same fields as the service's wire records, so publishing copies them one to one.
struct UsageModelRow {
  std::string name;
  int64_t input = 0;
  int64_t output = 0;
  int64_t cacheRead = 0;
  int64_t cacheWrite = 0;
  double cost = 0;
  bool operator==(const UsageModelRow&) const = default;
};

struct UsageAgentRow {
  std::string name;
  int64_t tokens = 0;
  double cost = 0;
  bool operator==(const UsageAgentRow&) const = default;
};

struct UsageTotals {
  int64_t total = 0;
  double cost = 0;
  std::optional<int64_t> input;
  std::optional<int64_t> output;
  std::optional<int64_t> cacheRead;
  std::optional<int64_t> cacheWrite;
  std::vector<UsageModelRow> models;
  std::vector<UsageAgentRow> agents;
  std::optional<int64_t> liveTotal;
  std::optional<double> liveCost;
  std::optional<std::string> accountingRevision;
  bool operator==(const UsageTotals&) const = default;
};

}  // namespace quorvin
