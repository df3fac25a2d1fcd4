#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "core/Time.h"
#include "core/UsageCounters.h"

namespace quorvin {

// What the log parser remembers about one tailed file. The oracle owns it, creates it
// fresh for a new file and replaces it when the file is truncated or replaced.
struct UsageParserState {
  // Codex's cumulative totals exactly as reported; its input includes the cached part.
  struct CodexCounter {
    int64_t input = 0;
    int64_t cached = 0;
    int64_t output = 0;
    int64_t total = 0;
    bool operator==(const CodexCounter&) const = default;
  };

  std::optional<std::string> model;
  std::optional<CodexCounter> codexPrevious;
  std::optional<WallTime> codexSessionStartedAt;
  bool codexIsFork = false;
  std::unordered_map<std::string, UsageCounters> seenEvents;
};

}  // namespace quorvin
