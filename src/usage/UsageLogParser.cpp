#include "usage/UsageLogParser.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <cmath>
#include <limits>
#include <simdjson.h>

#include "usage/ByteSearch.h"
#include "usage/UsageLineInspection.h"
#include "usage/UsageLineReaders.h"

namespace quorvin::UsageLogParser {

namespace {

// The quoted key every usage line of the source holds, then its state-changing markers.
std::span<const std::string_view> needlesOf(UsageSource source) noexcept {
  static constexpr std::string_view claude[] = {"\"usage\""};
  static constexpr std::string_view codex[] = {"\"token_count\"", "\"session_meta\"", "\"turn_context\""};
  static constexpr std::string_view kimi[] = {"\"token_usage\""};
  static constexpr std::string_view grok[] = {"\"prompt_tokens\""};
  static constexpr std::string_view gemini[] = {"\"tokens\""};
  static constexpr std::string_view openclaw[] = {"\"usage\"", "\"model_change\"", "\"model-snapshot\""};
  switch (source) {
    case UsageSource::claude: return claude;
    case UsageSource::codex: return codex;
    case UsageSource::kimi: return kimi;
    case UsageSource::grok: return grok;
    case UsageSource::gemini: return gemini;
    case UsageSource::openclaw: return openclaw;
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
    simdjson::dom::element root;
    auto error = parse(line, root);
    if (error == simdjson::NUMBER_ERROR || error == simdjson::NUMBER_OUT_OF_RANGE) {
      // simdjson refuses integers beyond 64 bits anywhere in the line (a tool input may
      // hold 100000000000000000000, which is how JavaScript writes 1e20), while the usage
      // figures may be fine. Boost.JSON reads such numbers as doubles; the line is
      // written back in that form, which simdjson reads.
      auto rewritten = withRepresentableNumbers(line);
      if (!rewritten) return std::nullopt;
      error = parse(*rewritten, root);
    }
    if (error != simdjson::SUCCESS) return std::nullopt;
    return root;
  }

  void releaseIfLarge() {
    if (capacity_ <= kKeptBytes + simdjson::SIMDJSON_PADDING) return;
    buffer_.reset();
    capacity_ = 0;
    parser_ = simdjson::dom::parser(kMaxLineBytes);
  }

 private:
  simdjson::error_code parse(std::string_view line, simdjson::dom::element& root) {
    const size_t needed = line.size() + simdjson::SIMDJSON_PADDING;
    if (needed > capacity_) {
      capacity_ = std::max(needed, std::min(2 * capacity_, kKeptBytes));
      buffer_ = std::make_unique_for_overwrite<char[]>(capacity_);
    }
    if (!line.empty()) std::memcpy(buffer_.get(), line.data(), line.size());
    std::memset(buffer_.get() + line.size(), 0, simdjson::SIMDJSON_PADDING);
    return parser_.parse(buffer_.get(), line.size(), false).get(root);
  }

  // The line with every number in a range simdjson reads; none when it is not JSON.
  static std::optional<std::string> withRepresentableNumbers(std::string_view line) {
    boost::json::monotonic_resource memory;
    boost::json::parse_options options;
    options.max_depth = 1024;  // simdjson's own limit
    boost::system::error_code ec;
    boost::json::value value = boost::json::parse(line, ec, &memory, options);
    if (ec) return std::nullopt;
    clampInfinities(value);
    return boost::json::serialize(value);
  }

  // A number beyond even a double's range reads as infinity, which JSON cannot write;
  // the largest double stands in (out of range for a token figure all the same).
  static void clampInfinities(boost::json::value& root) {
    std::vector<boost::json::value*> pending{&root};
    while (!pending.empty()) {
      boost::json::value* value = pending.back();
      pending.pop_back();
      if (double* number = value->if_double(); number && std::isinf(*number)) {
        *number = std::copysign(std::numeric_limits<double>::max(), *number);
      } else if (auto* array = value->if_array()) {
        for (auto& element : *array) pending.push_back(&element);
      } else if (auto* object = value->if_object()) {
        for (auto& member : *object) pending.push_back(&member.value());
      }
    }
  }

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

bool admits(std::string_view line, UsageSource source) noexcept { return containsAnyBytes(line, needlesOf(source)); }

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

std::optional<UsageLogEvent> parse(std::string_view line, UsageSource source, UsageParserState& state,
                                   Inspect inspect, void* context) {
  if (line.size() > kMaxLineBytes || !admits(line, source)) return std::nullopt;
  Decoder& decoder = threadDecoder();
  std::optional<UsageLogEvent> result;
  try {
    if (auto root = decoder.decode(line)) {
      result = read(*root, source, state, Context{});
      if (result) inspect(*root, context);
    }
  } catch (...) {
    result.reset();
  }
  decoder.releaseIfLarge();
  return result;
}

}  // namespace quorvin::UsageLogParser
