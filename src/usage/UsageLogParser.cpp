#include "usage/UsageLogParser.h"

#include <cstring>
#include <memory>

#include <simdjson.h>

#include "usage/ByteSearch.h"
#include "usage/UsageLineReaders.h"

namespace quorvin::UsageLogParser {

namespace {

struct Needles {
  std::string_view needle;
  std::string_view markers[2];
};

constexpr Needles needlesOf(UsageSource source) noexcept {
  switch (source) {
    case UsageSource::claude: return {"\"usage\"", {}};
    case UsageSource::codex: return {"\"token_count\"", {"\"session_meta\"", "\"turn_context\""}};
    case UsageSource::kimi: return {"\"token_usage\"", {}};
    case UsageSource::grok: return {"\"prompt_tokens\"", {}};
    case UsageSource::gemini: return {"\"tokens\"", {}};
    case UsageSource::openclaw: return {"\"usage\"", {"\"model_change\"", "\"model-snapshot\""}};
  }
  return {};
}

// One decoder per thread, reused line after line: a padded copy of the line (simdjson
// reads a little past the end) and the parser's tape grow to the largest line seen and
// are released again after an unusually large one.
class Decoder {
 public:
  static constexpr size_t kKeptBytes = 1u << 20;

  // The line's top-level value; valid until the next decode on this thread.
  std::optional<simdjson::dom::element> decode(std::string_view line) {
    const size_t needed = line.size() + simdjson::SIMDJSON_PADDING;
    if (needed > capacity_) {
      buffer_ = std::make_unique<char[]>(needed);
      capacity_ = needed;
    }
    std::memcpy(buffer_.get(), line.data(), line.size());
    std::memset(buffer_.get() + line.size(), 0, simdjson::SIMDJSON_PADDING);
    simdjson::dom::element root;
    if (parser_.parse(buffer_.get(), line.size(), false).get(root) != simdjson::SUCCESS) return std::nullopt;
    return root;
  }

  void releaseIfLarge() {
    if (capacity_ <= kKeptBytes + simdjson::SIMDJSON_PADDING) return;
    buffer_.reset();
    capacity_ = 0;
    parser_ = simdjson::dom::parser(kMaxLineBytes);
  }

 private:
  simdjson::dom::parser parser_{kMaxLineBytes};
  std::unique_ptr<char[]> buffer_;
  size_t capacity_ = 0;
};

Decoder& threadDecoder() {
  thread_local Decoder decoder;
  return decoder;
}

std::optional<UsageLogEvent> read(simdjson::dom::element line, UsageSource source, UsageParserState& state,
                                  const Context& context) {
  if (!line.is_object()) return std::nullopt;
  switch (source) {
    case UsageSource::claude: return UsageLineReaders::claude(line, state, context);
    case UsageSource::codex: return UsageLineReaders::codex(line, state);
    case UsageSource::kimi: return UsageLineReaders::kimi(line);
    case UsageSource::grok: return UsageLineReaders::grok(line);
    case UsageSource::gemini: return UsageLineReaders::gemini(line, state);
    case UsageSource::openclaw: return UsageLineReaders::openclaw(line, state);
  }
  return std::nullopt;
}

}  // namespace

bool admits(std::string_view line, UsageSource source) noexcept {
  const Needles needles = needlesOf(source);
  if (containsBytes(line, needles.needle)) return true;
  for (std::string_view marker : needles.markers) {
    if (!marker.empty() && containsBytes(line, marker)) return true;
  }
  return false;
}

std::optional<UsageLogEvent> parse(std::string_view line, UsageSource source, UsageParserState& state) {
  return parse(line, source, state, Context{});
}

std::optional<UsageLogEvent> parse(std::string_view line, UsageSource source, UsageParserState& state,
                                   const Context& context) {
  if (line.size() > kMaxLineBytes || !admits(line, source)) return std::nullopt;
  Decoder& decoder = threadDecoder();
  std::optional<UsageLogEvent> result;
  try {
    if (auto root = decoder.decode(line)) result = read(*root, source, state, context);
  } catch (...) {
    // Only allocation can fail here; a line that cannot be read counts nothing.
    result.reset();
  }
  decoder.releaseIfLarge();
  return result;
}

}  // namespace quorvin::UsageLogParser
