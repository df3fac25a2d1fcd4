#pragma once

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/Time.h"
#include "core/UsageCounters.h"
#include "core/UsageSource.h"

// Generated agent logs that look like real ones where it matters to a log reader (line
// sizes, what repeats, what decoys a careless reader would count), with the sums that a
// correct reader must arrive at. Deterministic for a given seed.
namespace quorvin::bench {

// What a correct reader counts over the lines generated so far; exact at every line
// boundary, so a consumer that reads a prefix of the lines can check its sum too.
struct GroundTruth {
  UsageCounters counters;
  uint64_t usageLines = 0;  // lines that carry a real usage record (repeats included)
  uint64_t lines = 0;
  uint64_t bytes = 0;

  GroundTruth& operator+=(const GroundTruth& other);
};

// Claude Code sessions: user prompts; assistant messages logged once per content block,
// each line repeating the message's usage, some preceded by streaming snapshots whose
// output grows; tool results of 1-20 KB and now and then over 50 KB; decoy tool results
// of sub-agents that carry a "usage" object of their own; summaries and zero-usage
// synthetic messages.
class ClaudeSessionGenerator {
 public:
  ClaudeSessionGenerator(uint64_t seed, WallTime start);
  // Appends whole lines, each ending in '\n', until at least `bytes` were added.
  void append(std::string& out, size_t bytes);
  const GroundTruth& truth() const { return truth_; }

 private:
  void turn(std::string& out);
  void line(std::string& out, const std::string& text, const UsageCounters* counted);
  std::string envelope(const char* type);
  std::string timestamp();

  std::mt19937_64 random_;
  WallTime now_;
  std::string sessionId_;
  GroundTruth truth_;
};

// Codex rollouts: a session header with long instructions, turn contexts, reasoning and
// tool output items, and cumulative token counts that are repeated, keep growing and now
// and then reset; a fork replays its parent's counters right after its header.
class CodexSessionGenerator {
 public:
  CodexSessionGenerator(uint64_t seed, WallTime start, bool fork);
  void append(std::string& out, size_t bytes);
  const GroundTruth& truth() const { return truth_; }

 private:
  void header(std::string& out);
  void turn(std::string& out);
  void tokenCount(std::string& out, bool counts);
  void line(std::string& out, const std::string& text);
  std::string timestamp();

  std::mt19937_64 random_;
  WallTime now_;
  bool fork_;
  bool started_ = false;
  std::string model_;
  int64_t input_ = 0, cached_ = 0, output_ = 0;  // the session's cumulative counter
  GroundTruth truth_;
};

struct CorpusSpec {
  size_t claudeFiles = 12;
  size_t claudeFileBytes = 32u << 20;
  size_t codexFiles = 6;
  size_t codexFileBytes = 16u << 20;
  uint64_t seed = 20260301;
};

struct CorpusFile {
  std::filesystem::path path;
  UsageSource source;
  GroundTruth truth;
};

struct Corpus {
  std::vector<CorpusFile> files;
  GroundTruth total(UsageSource source) const;
};

// Writes the corpus into `directory` (created when missing; files of an earlier corpus
// with the same names are replaced) and returns what each file holds.
Corpus writeCorpus(const std::filesystem::path& directory, const CorpusSpec& spec);

}  // namespace quorvin::bench
