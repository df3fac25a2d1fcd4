#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvin::API {

struct ModelRow {
  std::string name;
  int64_t input = 0;
  int64_t output = 0;
  int64_t cacheRead = 0;
  int64_t cacheWrite = 0;
  double cost = 0;
  bool operator==(const ModelRow&) const = default;
};

struct AgentRow {
  std::string name;
  int64_t tokens = 0;
  double cost = 0;
  bool operator==(const AgentRow&) const = default;
};

struct OptimizerStats {
  bool enabled = false;
  int64_t commands = 0;
  int64_t originalTokens = 0;
  int64_t outputTokens = 0;
  int64_t savedTokens = 0;
  bool operator==(const OptimizerStats&) const = default;
};

// One publishable snapshot of this machine's all-time usage.
struct Totals {
  int64_t total = 0;
  double cost = 0;
  std::optional<int64_t> input;
  std::optional<int64_t> output;
  std::optional<int64_t> cacheRead;
  std::optional<int64_t> cacheWrite;
  std::vector<ModelRow> models;
  std::vector<AgentRow> agents;
  std::optional<int64_t> liveTotal;
  std::optional<double> liveCost;
  std::optional<std::string> accountingRevision;  // local only, never sent
  std::optional<OptimizerStats> optimizer;
  bool operator==(const Totals&) const = default;
};

}  // namespace quorvin::API
