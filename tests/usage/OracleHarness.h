#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "core/Time.h"
#include "usage/LiveUsageOracle.h"

namespace quorvin::test {

// A Claude Code assistant line with its own message and request identifiers.
inline std::string claudeLine(const std::string& messageID, int64_t input, int64_t output, WallTime stamped,
                              const std::string& model = "claude-sonnet-4-5") {
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(stamped.time_since_epoch()).count();
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm utc{};
  gmtime_r(&t, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S.000Z", &utc);
  return R"({"type":"assistant","timestamp":")" + std::string(stamp) + R"(","requestId":"req_)" + messageID +
         R"(","message":{"id":")" + messageID + R"(","model":")" + model +
         R"(","usage":{"input_tokens":)" + std::to_string(input) + R"(,"output_tokens":)" + std::to_string(output) +
         R"(,"cache_read_input_tokens":0,"cache_creation_input_tokens":0}}})" + "\n";
}

inline std::string codexCounterLine(int64_t input, int64_t cached, int64_t output, const char* timestamp) {
  int64_t total = input + output;
  return R"({"timestamp":")" + std::string(timestamp) +
         R"(","type":"event_msg","payload":{"type":"token_count","info":{"total_token_usage":{"input_tokens":)" +
         std::to_string(input) + R"(,"cached_input_tokens":)" + std::to_string(cached) + R"(,"output_tokens":)" +
         std::to_string(output) + R"(,"total_tokens":)" + std::to_string(total) + "}}}}\n";
}

inline int64_t sourceTotal(const LiveUsageOracle::Snapshot& snapshot, const std::string& source) {
  auto found = snapshot.sourceTotals.find(source);
  return found == snapshot.sourceTotals.end() ? -1 : found->second;
}

// Snapshots until `done` holds (file events arrive asynchronously) or a generous
// real-time limit passes; returns the last snapshot.
inline LiveUsageOracle::Snapshot snapshotUntil(LiveUsageOracle& oracle,
                                               const std::function<bool(const LiveUsageOracle::Snapshot&)>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    auto snapshot = oracle.snapshot(false);
    if (done(*snapshot) || std::chrono::steady_clock::now() > deadline) return *snapshot;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Waits out any late file events, then snapshots: for asserting that nothing more counts.
inline LiveUsageOracle::Snapshot settledSnapshot(LiveUsageOracle& oracle) {
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  oracle.snapshot(false);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  return *oracle.snapshot(false);
}

}  // namespace quorvin::test
