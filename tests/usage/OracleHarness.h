#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/Time.h"
#include "platform/VirtualClock.h"
#include "usage/LiveUsageOracle.h"
#include "support/TempFolder.h"

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

// Real files under a temporary home; the virtual clock starts at the real time so file
// times and the oracle's start agree, and moves only when a test moves it.
class OracleTest : public ::testing::Test {
 protected:
  OracleTest() : clock_(std::chrono::system_clock::now()) {}

  std::unique_ptr<LiveUsageOracle> start(LiveUsageOracle::Options options = {}) {
    auto oracle = std::make_unique<LiveUsageOracle>(home_.path(), clock_.now(), clock_,
                                                    LiveUsageOracle::Environment{}, options);
    oracle->snapshot(false);  // the initial inventory
    return oracle;
  }
  std::filesystem::path claude(const std::string& relative) { return home_ / (".claude/projects/" + relative); }
  std::string line(const std::string& id, int64_t input, int64_t output) {
    return claudeLine(id, input, output, clock_.now());
  }
  static auto reaches(const std::string& source, int64_t total) {
    return [source, total](const LiveUsageOracle::Snapshot& s) { return sourceTotal(s, source) >= total; };
  }
  static auto claudeReaches(int64_t total) { return reaches("claude", total); }

  TempFolder home_;
  VirtualClock clock_;
};

}  // namespace quorvin::test
