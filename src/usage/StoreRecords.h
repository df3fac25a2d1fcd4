#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/UsageCounters.h"

namespace quorvin::StoreRecords {

// One record of an agent's store as it stands, for a reader of the whole history rather
// than of growth: an OpenCode message, a Hermes session, a Droid session's settings. Read
// by the structured usage reader's own rules (StructuredUsageReader.cpp).
struct Record {
  std::string key;
  int64_t updatedAt = 0;  // OpenCode's own update time (milliseconds); 0 when unknown
  UsageCounters counters;
  std::optional<std::string> model;
};

// Every record that counts; none when the store cannot be read whole.
std::optional<std::vector<Record>> openCode(const std::string& path);
std::optional<std::vector<Record>> hermes(const std::string& path);
std::optional<Record> droid(const std::string& path);

}  // namespace quorvin::StoreRecords
