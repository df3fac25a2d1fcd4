#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "wire/UsageTotals.h"

namespace quorvin::presentation {

// Groups the all-time agent and model traffic into the usage-mix bar and rows.

struct AgentUsageSegment {
  std::string id;
  std::string name;
  int64_t tokens = 0;
  double fraction = 0;
  bool operator==(const AgentUsageSegment&) const = default;
};

struct ModelTrafficRow {
  std::string id;
  std::string name;
  int64_t traffic = 0;
  int64_t output = 0;
  double fraction = 0;
  bool operator==(const ModelTrafficRow&) const = default;
};

std::string displayName(const std::string& name);
// At most `limit` segments, the last one folding the rest into "Other".
std::vector<AgentUsageSegment> agentSegments(const std::vector<API::AgentRow>& rows, int limit);
// The `limit` busiest models, no "Other" row.
std::vector<ModelTrafficRow> modelRows(const std::vector<API::ModelRow>& rows, int limit);

}  // namespace quorvin::presentation
