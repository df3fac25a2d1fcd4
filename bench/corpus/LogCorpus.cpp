#include "corpus/LogCorpus.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace quorvin::bench {

namespace {

using namespace std::chrono;

// A few MiB of JSON-escaped prose, code and tool output to cut line bodies from. Cuts
// fall on spaces, so an escape sequence is never split.
class TextPool {
 public:
  static const TextPool& shared() {
    static const TextPool pool;
    return pool;
  }

  void appendSlice(std::string& out, std::mt19937_64& random, size_t length) const {
    while (length > 0) {
      const size_t from = spaces_[random() % (spaces_.size() / 2)];
      const size_t want = std::min(length, text_.size() / 2);
      const size_t to = *std::lower_bound(spaces_.begin(), spaces_.end(), from + want);
      out.append(text_, from, to - from);
      length -= std::min(length, to - from);
    }
  }

 private:
  TextPool() {
    static const char* const words[] = {
        "the", "usage", "function", "return", "const", "auto", "if", "else", "for", "while", "int64_t", "std::string",
        "value", "error:", "warning:", "src/main.cpp:42:7", "  ", "\\n", "\\n    ", "\\t", "\\\"quoted\\\"", "{", "}",
        "[", "]", "=>", "->", "&&", "||", "0x7ffd", "1234", "3.14", "null", "true", "\\\\path\\\\to", "café", "naïve",
        "日本語", "✓", "🙂", "\\u001b[0m", "test", "PASSED", "FAILED", "make:", "npm", "cargo", "git", "diff",
        "@@ -1,4 +1,6 @@", "+    let x = 1;", "-    old();", "\\\"usage\\\": {\\\"input_tokens\\\": 12}",
        "input_tokens", "TODO", "README.md", "#include", "<vector>", "def", "class", "import", "from", "print(x)"};
    std::mt19937_64 random(7);
    constexpr size_t kBytes = 6u << 20;
    text_.reserve(kBytes + 64);
    while (text_.size() < kBytes) {
      text_ += words[random() % std::size(words)];
      text_ += ' ';
    }
    for (size_t i = 0; i < text_.size(); ++i) {
      if (text_[i] == ' ') spaces_.push_back(i);
    }
  }

  std::string text_;
  std::vector<size_t> spaces_;
};

std::string hex(std::mt19937_64& random, size_t digits) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out(digits, '0');
  for (char& c : out) c = kDigits[random() & 15];
  return out;
}

std::string uuid(std::mt19937_64& random) {
  return hex(random, 8) + "-" + hex(random, 4) + "-4" + hex(random, 3) + "-a" + hex(random, 3) + "-" + hex(random, 12);
}

std::string base62(std::mt19937_64& random, size_t length) {
  static const char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::string out(length, '0');
  for (char& c : out) c = kDigits[random() % 62];
  return out;
}

std::string iso8601(WallTime at) {
  const auto day = floor<days>(at);
  const year_month_day date{day};
  const hh_mm_ss<milliseconds> time{floor<milliseconds>(at - day)};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(date.year()), unsigned(date.month()),
                unsigned(date.day()), int(time.hours().count()), int(time.minutes().count()),
                int(time.seconds().count()), int(time.subseconds().count()));
  return text;
}

int64_t between(std::mt19937_64& random, int64_t low, int64_t high) {
  return low + static_cast<int64_t>(random() % static_cast<uint64_t>(high - low + 1));
}

bool chance(std::mt19937_64& random, double p) { return std::uniform_real_distribution<double>(0, 1)(random) < p; }

// Tool output sizes: log-uniform over 1-20 KB, and now and then 50-200 KB.
size_t toolOutputBytes(std::mt19937_64& random) {
  if (chance(random, 0.03)) return static_cast<size_t>(between(random, 50'000, 200'000));
  return static_cast<size_t>(std::exp(std::uniform_real_distribution<double>(std::log(1000.0), std::log(20000.0))(random)));
}

std::string text(std::mt19937_64& random, size_t length) {
  std::string out;
  out.reserve(length + 64);
  TextPool::shared().appendSlice(out, random, length);
  return out;
}

std::string number(int64_t n) { return std::to_string(n); }

}  // namespace

GroundTruth& GroundTruth::operator+=(const GroundTruth& other) {
  counters += other.counters;
  usageLines += other.usageLines;
  lines += other.lines;
  bytes += other.bytes;
  return *this;
}

// ---- Claude Code ---------------------------------------------------------------------

ClaudeSessionGenerator::ClaudeSessionGenerator(uint64_t seed, WallTime start)
    : random_(seed), now_(start), sessionId_(uuid(random_)) {}

void ClaudeSessionGenerator::append(std::string& out, size_t bytes) {
  const size_t target = out.size() + bytes;
  while (out.size() < target) turn(out);
}

std::string ClaudeSessionGenerator::timestamp() {
  now_ += milliseconds(between(random_, 200, 4000));
  return iso8601(now_);
}

std::string ClaudeSessionGenerator::envelope(const char* type) {
  // Claude Code writes these before the message; type, uuid and timestamp follow it.
  (void)type;
  return R"({"parentUuid":")" + uuid(random_) + R"(","isSidechain":false,"userType":"external","cwd":"/home/dev/projects/quorvin","sessionId":")" +
         sessionId_ + R"(","version":"2.0.14","gitBranch":"main",)";
}

void ClaudeSessionGenerator::line(std::string& out, const std::string& text, const UsageCounters* counted) {
  out += text;
  out += '\n';
  truth_.lines += 1;
  truth_.bytes += text.size() + 1;
  if (counted) {
    truth_.counters += *counted;
    truth_.usageLines += 1;
  }
}

void ClaudeSessionGenerator::turn(std::string& out) {
  auto tail = [this](const char* type) {
    return std::string(R"(,"type":")") + type + R"(","uuid":")" + uuid(random_) + R"(","timestamp":")" + timestamp() + "\"}";
  };
  // The user's prompt.
  line(out,
       envelope("user") + R"("message":{"role":"user","content":")" + text(random_, between(random_, 80, 1500)) + "\"}" +
           tail("user"),
       nullptr);
  if (chance(random_, 0.01)) {
    line(out, R"({"type":"summary","summary":")" + text(random_, 60) + R"(","leafUuid":")" + uuid(random_) + "\"}", nullptr);
  }
  const int steps = static_cast<int>(between(random_, 1, 4));
  for (int step = 0; step < steps; ++step) {
    const std::string messageId = "msg_01" + base62(random_, 22);
    const bool hasRequest = !chance(random_, 0.05);
    const std::string requestPart = hasRequest ? R"(,"requestId":"req_011C)" + base62(random_, 20) + "\"" : "";
    const bool synthetic = chance(random_, 0.01);
    const UsageCounters final = synthetic ? UsageCounters{}
                                          : UsageCounters{between(random_, 1, 60), between(random_, 20, 2500),
                                                          between(random_, 8'000, 160'000), between(random_, 0, 6'000)};
    const bool usesTool = !synthetic && chance(random_, 0.8);
    std::vector<std::string> blocks;
    if (chance(random_, 0.2)) {
      blocks.push_back(R"({"type":"thinking","thinking":")" + text(random_, between(random_, 200, 3000)) +
                       R"(","signature":")" + base62(random_, 300) + "\"}");
    }
    blocks.push_back(R"({"type":"text","text":")" + text(random_, between(random_, 40, 1200)) + "\"}");
    const std::string toolId = "toolu_01" + base62(random_, 22);
    const bool task = usesTool && chance(random_, 0.06);
    if (usesTool) {
      // Now and then a large Write: an assistant line over 50 KB.
      const size_t inputBytes = chance(random_, 0.01) ? static_cast<size_t>(between(random_, 50'000, 120'000))
                                                      : static_cast<size_t>(between(random_, 40, 2000));
      blocks.push_back(R"({"type":"tool_use","id":")" + toolId + R"(","name":")" + (task ? "Task" : "Bash") +
                       R"(","input":{"command":")" + text(random_, inputBytes) + R"(","description":"run it"}})");
    }
    auto assistantLine = [&](const std::string& block, const UsageCounters& usage, bool last) {
      return envelope("assistant") + R"("message":{"id":")" + messageId +
             R"(","type":"message","role":"assistant","model":")" + (synthetic ? "<synthetic>" : "claude-sonnet-4-5-20250929") +
             R"(","content":[)" + block + R"(],"stop_reason":)" + (last ? "\"tool_use\"" : "null") +
             R"(,"stop_sequence":null,"usage":{"input_tokens":)" + number(usage.input) +
             R"(,"cache_creation_input_tokens":)" + number(usage.cacheWrite) + R"(,"cache_read_input_tokens":)" +
             number(usage.cacheRead) + R"(,"cache_creation":{"ephemeral_5m_input_tokens":)" + number(usage.cacheWrite) +
             R"(,"ephemeral_1h_input_tokens":0},"output_tokens":)" + number(usage.output) +
             R"(,"service_tier":"standard"}})" + requestPart + tail("assistant");
    };
    UsageCounters seen;  // what this message's earlier lines already reported
    auto emit = [&](const std::string& block, const UsageCounters& usage, bool last) {
      const UsageCounters growth = usage.growthOver(seen);
      seen = UsageCounters{std::max(seen.input, usage.input), std::max(seen.output, usage.output),
                           std::max(seen.cacheRead, usage.cacheRead), std::max(seen.cacheWrite, usage.cacheWrite)};
      line(out, assistantLine(block, usage, last), usage.isZero() ? nullptr : &growth);
    };
    // Streaming snapshots: the first block with the output counted so far.
    if (!synthetic && chance(random_, 0.3)) {
      const int snapshots = static_cast<int>(between(random_, 1, 2));
      for (int s = 1; s <= snapshots; ++s) {
        UsageCounters partial = final;
        partial.output = std::max<int64_t>(1, final.output * s / (snapshots + 1));
        emit(blocks.front(), partial, false);
      }
    }
    for (size_t b = 0; b < blocks.size(); ++b) emit(blocks[b], final, b + 1 == blocks.size());

    if (usesTool) {
      std::string result = envelope("user") + R"("message":{"role":"user","content":[{"tool_use_id":")" + toolId +
                           R"(","type":"tool_result","content":")" + text(random_, toolOutputBytes(random_)) +
                           R"(","is_error":false}]})";
      if (task) {
        // A sub-agent's report: its own usage object, which is not this session's usage.
        result += R"(,"toolUseResult":{"status":"completed","prompt":")" + text(random_, 300) +
                  R"(","content":[{"type":"text","text":")" + text(random_, 800) +
                  R"("}],"totalDurationMs":48211,"totalTokens":51234,"totalToolUseCount":7,"usage":{"input_tokens":12,"cache_creation_input_tokens":4100,"cache_read_input_tokens":45000,"output_tokens":2122,"service_tier":"standard"}})";
      } else {
        result += R"j(,"toolUseResult":{"stdout":"(truncated)","stderr":"","interrupted":false,"isImage":false})j";
      }
      line(out, result + tail("user"), nullptr);
    }
  }
}

// ---- Codex ---------------------------------------------------------------------------

CodexSessionGenerator::CodexSessionGenerator(uint64_t seed, WallTime start, bool fork)
    : random_(seed), now_(start), fork_(fork) {}

void CodexSessionGenerator::append(std::string& out, size_t bytes) {
  const size_t target = out.size() + bytes;
  if (!started_) {
    header(out);
    started_ = true;
  }
  while (out.size() < target) turn(out);
}

std::string CodexSessionGenerator::timestamp() { return iso8601(now_); }

void CodexSessionGenerator::line(std::string& out, const std::string& text) {
  out += text;
  out += '\n';
  truth_.lines += 1;
  truth_.bytes += text.size() + 1;
}

void CodexSessionGenerator::header(std::string& out) {
  const std::string id = uuid(random_);
  const std::string forkPart = fork_ ? R"(,"forked_from_id":")" + uuid(random_) + "\"" : "";
  line(out, R"({"timestamp":")" + timestamp() + R"(","type":"session_meta","payload":{"id":")" + id +
                R"(","timestamp":")" + timestamp() + R"(","cwd":"/home/dev/projects/quorvin","originator":"codex_cli_rs","cli_version":"0.46.0","instructions":")" +
                text(random_, between(random_, 3000, 8000)) + R"(","source":"cli")" + forkPart +
                R"(,"git":{"commit_hash":")" + hex(random_, 40) +
                R"(","branch":"main","repository_url":"git@example.com:dev/quorvin.git"}}})");
  if (fork_) {
    // The parent's history, replayed within a second or two of the header: its counters
    // are a baseline, not usage of this session.
    input_ = between(random_, 50'000, 400'000);
    cached_ = input_ * 6 / 10;
    output_ = between(random_, 2'000, 20'000);
    for (int i = 0; i < 3; ++i) {
      now_ += milliseconds(between(random_, 50, 900));
      line(out, R"({"timestamp":")" + timestamp() +
                    R"(","type":"response_item","payload":{"type":"message","role":"assistant","content":[{"type":"output_text","text":")" +
                    text(random_, between(random_, 200, 3000)) + R"("}]}})");
      input_ += 1000;
      cached_ += 500;
      output_ += 100;
      tokenCount(out, false);
    }
  }
  now_ += seconds(between(random_, 6, 20));
}

void CodexSessionGenerator::tokenCount(std::string& out, bool counts) {
  const int64_t total = input_ + output_;
  line(out, R"({"timestamp":")" + timestamp() +
                R"(","type":"event_msg","payload":{"type":"token_count","info":{"total_token_usage":{"input_tokens":)" +
                number(input_) + R"(,"cached_input_tokens":)" + number(cached_) + R"(,"output_tokens":)" +
                number(output_) + R"(,"reasoning_output_tokens":)" + number(output_ / 2) + R"(,"total_tokens":)" +
                number(total) + R"(},"last_token_usage":{"input_tokens":1200,"cached_input_tokens":800,"output_tokens":90,"reasoning_output_tokens":40,"total_tokens":1290},"model_context_window":272000},"rate_limits":{"primary":{"used_percent":)" +
                number(between(random_, 0, 99)) +
                R"(.0,"window_minutes":300,"resets_in_seconds":7012},"secondary":{"used_percent":14.0,"window_minutes":10080,"resets_in_seconds":400123}}}})");
  if (counts) truth_.usageLines += 1;
}

void CodexSessionGenerator::turn(std::string& out) {
  auto advance = [this] { now_ += milliseconds(between(random_, 100, 5000)); };
  model_ = chance(random_, 0.5) ? "gpt-5-codex" : "gpt-5";
  advance();
  line(out, R"({"timestamp":")" + timestamp() +
                R"(","type":"turn_context","payload":{"cwd":"/home/dev/projects/quorvin","approval_policy":"on-request","sandbox_policy":{"mode":"workspace-write","network_access":false},"model":")" +
                model_ + R"(","effort":"medium","summary":"auto"}})");
  line(out, R"({"timestamp":")" + timestamp() + R"(","type":"event_msg","payload":{"type":"user_message","message":")" +
                text(random_, between(random_, 50, 1200)) + R"(","kind":"plain"}})");
  const int calls = static_cast<int>(between(random_, 1, 5));
  for (int call = 0; call < calls; ++call) {
    advance();
    line(out, R"({"timestamp":")" + timestamp() +
                  R"(","type":"response_item","payload":{"type":"reasoning","summary":[{"type":"summary_text","text":")" +
                  text(random_, 200) + R"("}],"content":null,"encrypted_content":")" +
                  base62(random_, static_cast<size_t>(between(random_, 1000, 6000))) + R"("}})");
    line(out, R"({"timestamp":")" + timestamp() +
                  R"(","type":"response_item","payload":{"type":"function_call","name":"shell","arguments":"{\"command\":[\"bash\",\"-lc\",\"rg usage src\"]}","call_id":"call_)" +
                  base62(random_, 24) + R"("}})");
    advance();
    line(out, R"({"timestamp":")" + timestamp() +
                  R"(","type":"response_item","payload":{"type":"function_call_output","call_id":"call_x","output":"{\"output\":\")" +
                  text(random_, toolOutputBytes(random_)) + R"(\",\"metadata\":{\"exit_code\":0}}"}})");
    // This model call's usage: Codex's input includes its cached part.
    const int64_t in = between(random_, 4'000, 60'000);
    const int64_t cachedIn = in * between(random_, 0, 95) / 100;
    const int64_t outTokens = between(random_, 30, 3'000);
    if (input_ + output_ > in + outTokens && chance(random_, 0.02)) {
      // The counter starts over (a lower total): the whole new counter is new usage.
      input_ = in;
      cached_ = cachedIn;
      output_ = outTokens;
    } else {
      input_ += in;
      cached_ += cachedIn;
      output_ += outTokens;
    }
    truth_.counters += UsageCounters{in - cachedIn, outTokens, cachedIn, 0};
    tokenCount(out, true);
    if (chance(random_, 0.4)) tokenCount(out, false);  // Codex repeats a count unchanged
    if (chance(random_, 0.1)) {
      line(out, R"({"timestamp":")" + timestamp() +
                    R"(","type":"event_msg","payload":{"type":"token_count","info":null,"rate_limits":{"primary":{"used_percent":3.0,"window_minutes":300,"resets_in_seconds":100}}}})");
    }
  }
  line(out, R"({"timestamp":")" + timestamp() + R"(","type":"event_msg","payload":{"type":"agent_message","message":")" +
                text(random_, between(random_, 100, 2000)) + R"("}})");
}

// ---- Corpus --------------------------------------------------------------------------

GroundTruth Corpus::total(UsageSource source) const {
  GroundTruth sum;
  for (const CorpusFile& file : files) {
    if (file.source == source) sum += file.truth;
  }
  return sum;
}

Corpus writeCorpus(const std::filesystem::path& directory, const CorpusSpec& spec) {
  std::filesystem::create_directories(directory);
  const WallTime start = sys_days{year{2026} / 3 / 1} + hours(9);
  Corpus corpus;
  std::string buffer;
  auto write = [&](const std::filesystem::path& path) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    if (!file) throw std::runtime_error("cannot write " + path.string());
  };
  for (size_t i = 0; i < spec.claudeFiles; ++i) {
    ClaudeSessionGenerator generator(spec.seed * 1000 + i, start + hours(i));
    buffer.clear();
    generator.append(buffer, spec.claudeFileBytes);
    auto path = directory / ("claude-" + std::to_string(i) + ".jsonl");
    write(path);
    corpus.files.push_back({path, UsageSource::claude, generator.truth()});
  }
  for (size_t i = 0; i < spec.codexFiles; ++i) {
    CodexSessionGenerator generator(spec.seed * 1000 + 500 + i, start + hours(i), i % 3 == 2);
    buffer.clear();
    generator.append(buffer, spec.codexFileBytes);
    auto path = directory / ("rollout-" + std::to_string(i) + ".jsonl");
    write(path);
    corpus.files.push_back({path, UsageSource::codex, generator.truth()});
  }
  return corpus;
}

}  // namespace quorvin::bench
