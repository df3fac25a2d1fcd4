#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "core/UsageCounters.h"

namespace quorvin::test {

// Writes Claude Code session logs under <home>/.claude/projects the way the agent does:
// one assistant line per content block, each repeating the message's usage, so a reader
// that counts every line in full over-counts. Returns the true sums of unique messages.
inline UsageCounters generateClaudeHome(const std::filesystem::path& home, int sessions, int messagesPerSession,
                                        uint32_t seed) {
  static constexpr const char* kModels[] = {"claude-sonnet-4-5-20250929", "claude-haiku-4-5-20251001",
                                            "claude-opus-4-1-20250805"};
  std::mt19937 random(seed);
  UsageCounters truth;
  for (int s = 0; s < sessions; ++s) {
    const auto folder = home / ".claude" / "projects" / ("-work-project-" + std::to_string(s % 3));
    std::filesystem::create_directories(folder);
    std::ofstream out(folder / ("session-" + std::to_string(s) + ".jsonl"));
    for (int m = 0; m < messagesPerSession; ++m) {
      const int64_t input = random() % 5000;
      const int64_t output = random() % 3000;
      const int64_t cacheWrite = random() % 20000;
      const int64_t cacheRead = random() % 200000;
      truth += UsageCounters{input, output, cacheRead, cacheWrite};
      const int day = 1 + (s * messagesPerSession + m) % 28;
      char when[40];
      std::snprintf(when, sizeof when, "2025-10-%02dT%02d:%02d:00.000Z", day, m % 24, s % 60);
      const std::string id = "msg_" + std::to_string(s) + "_" + std::to_string(m);
      const int blocks = 1 + static_cast<int>(random() % 3);
      for (int b = 0; b < blocks; ++b) {
        out << R"({"parentUuid":null,"isSidechain":false,"type":"assistant","timestamp":")" << when
            << R"(","sessionId":"s)" << s << R"(","version":"2.0.14","cwd":"/work/project","requestId":"req_)" << s
            << "_" << m << R"(","message":{"id":")" << id << R"(","type":"message","role":"assistant","model":")"
            << kModels[(s + m) % 3] << R"(","content":[{"type":"text","text":"block )" << b
            << R"("}],"usage":{"input_tokens":)" << input << R"(,"cache_creation_input_tokens":)" << cacheWrite
            << R"(,"cache_read_input_tokens":)" << cacheRead << R"(,"output_tokens":)" << output << "}}}\n";
      }
      out << R"({"type":"user","timestamp":")" << when
          << R"(","message":{"role":"user","content":[{"type":"tool_result","content":"ok"}]}})" << "\n";
    }
  }
  return truth;
}

}  // namespace quorvin::test
