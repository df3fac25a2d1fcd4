#include "ledger/LogFileTally.h"

#include <simdjson.h>

#include <algorithm>
#include <chrono>
#include <ctime>

#include "core/Time.h"
#include "ledger/LedgerCache.h"
#include "usage/UsageLineInspection.h"
#include "usage/UsageLogParser.h"

namespace quorvin::ledger {

namespace {

// What the log parser does not report about a counted line: when it was written and,
// for Claude, which message it belongs to. Read from the parser's own decoding of the line.
struct LineFacts {
  std::optional<int64_t> at;
  uint64_t id = 0;  // messageKey; 0: the line names no message
};

std::optional<std::string_view> stringOf(simdjson::dom::element object, std::string_view key) {
  std::string_view text;
  if (object[key].get_string().get(text) != simdjson::SUCCESS) return std::nullopt;
  return text;
}

// The same identity the Claude reader uses: the message, and its request when there is one.
uint64_t claudeIdentity(simdjson::dom::element root) {
  auto message = root["message"];
  if (message.error() != simdjson::SUCCESS) return 0;
  auto messageId = stringOf(message.value_unsafe(), "id");
  if (!messageId || messageId->empty()) return 0;
  auto request = root["requestId"];
  if (request.error() != simdjson::SUCCESS || request.value_unsafe().is_null()) return messageKey(*messageId, {});
  std::string_view requestId;
  if (request.get_string().get(requestId) != simdjson::SUCCESS || requestId.empty()) return 0;
  return messageKey(*messageId, requestId);
}

// Reads the facts from the line the parser decoded (only lines that yield an event).
void inspectClaude(simdjson::dom::element root, void* context) {
  auto& facts = *static_cast<LineFacts*>(context);
  if (auto text = stringOf(root, "timestamp")) {
    if (auto at = parseIso8601Either(*text)) {
      facts.at = std::chrono::duration_cast<std::chrono::seconds>(at->time_since_epoch()).count();
    }
  }
  facts.id = claudeIdentity(root);
}

void inspectOther(simdjson::dom::element root, void* context) {
  auto& facts = *static_cast<LineFacts*>(context);
  if (auto text = stringOf(root, "timestamp")) {
    if (auto at = parseIso8601Either(*text)) {
      facts.at = std::chrono::duration_cast<std::chrono::seconds>(at->time_since_epoch()).count();
    }
  }
}

}  // namespace

uint64_t messageKey(std::string_view messageId, std::string_view requestId) noexcept {
  uint64_t hash = 1469598103934665603ull;
  const auto mix = [&hash](std::string_view bytes) {
    for (unsigned char c : bytes) {
      hash ^= c;
      hash *= 1099511628211ull;
    }
  };
  mix(messageId);
  if (!requestId.empty()) {
    mix(":");
    mix(requestId);
  }
  // FNV-1a spreads its last bytes poorly into the high bits: finish with a full mix.
  hash ^= hash >> 33;
  hash *= 0xff51afd7ed558ccdull;
  hash ^= hash >> 33;
  hash *= 0xc4ceb9fe1a85ec53ull;
  hash ^= hash >> 33;
  return hash == 0 ? 1 : hash;  // 0 stands for no identity
}

Day localDay(int64_t secondsSinceEpoch) {
  constexpr int64_t kQuarterHour = 900;
  thread_local int64_t lastQuarter = INT64_MIN;
  thread_local Day lastDay = 0;
  const int64_t quarter = secondsSinceEpoch >= 0 ? secondsSinceEpoch / kQuarterHour
                                                 : (secondsSinceEpoch - kQuarterHour + 1) / kQuarterHour;
  if (quarter == lastQuarter) return lastDay;
  const std::time_t time = static_cast<std::time_t>(secondsSinceEpoch);
  std::tm local{};
  if (::localtime_r(&time, &local) == nullptr) return static_cast<Day>(secondsSinceEpoch / 86400);
  const std::chrono::year_month_day date{std::chrono::year(local.tm_year + 1900),
                                         std::chrono::month(static_cast<unsigned>(local.tm_mon + 1)),
                                         std::chrono::day(static_cast<unsigned>(local.tm_mday))};
  lastQuarter = quarter;
  lastDay = static_cast<Day>(std::chrono::sys_days(date).time_since_epoch().count());
  return lastDay;
}

void LogFileTally::materialize() {
  if (encodedMessages.empty() || !messages.empty()) return;
  LedgerCache::decodeMessages(encodedMessages, messages);
}

uint64_t LogFileTally::consume(std::string_view text) {
  materialize();
  encodedMessages = {};  // about to change: written anew
  encodedBacking.reset();
  uint64_t used = 0;
  while (used < text.size()) {
    const size_t end = text.find('\n', used);
    if (end == std::string_view::npos) break;
    line(text.substr(used, end - used));
    used = end + 1;
  }
  consumed += used;
  return used;
}

void LogFileTally::line(std::string_view text) {
  if (!UsageLogParser::admits(text, source)) return;
  if (source == UsageSource::claude) {
    // Each Claude line is read on its own: a message's repeats are resolved by identity
    // over the whole history, not by the order the lines were read in.
    UsageParserState scratch;
    LineFacts facts;
    auto event = UsageLogParser::parse(text, source, scratch, &inspectClaude, &facts);
    if (!event) return;
    const Day day = facts.at ? localDay(*facts.at) : fallbackDay;
    ClaudeMessage seen{event->counters, facts.at.value_or(INT64_MAX), day, std::move(event->model).value_or(std::string())};
    if (facts.id == 0) {
      sums[DayModel{day, std::move(seen.model)}] += event->counters;
      return;
    }
    // try_emplace leaves `seen` alone when the id is there already.
    auto [found, inserted] = messages.try_emplace(facts.id, std::move(seen));
    if (!inserted) found->second.merge(seen);
    return;
  }
  LineFacts facts;
  auto event = UsageLogParser::parse(text, source, state, &inspectOther, &facts);
  if (!event) return;
  const Day day = facts.at ? localDay(*facts.at) : fallbackDay;
  sums[DayModel{day, std::move(event->model).value_or(std::string())}] += event->counters;
}

}  // namespace quorvin::ledger
