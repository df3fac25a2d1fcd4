#include "ledger/LogFileTally.h"

#include <simdjson.h>

#include <algorithm>
#include <chrono>
#include <ctime>

#include "core/Time.h"
#include "usage/UsageLogParser.h"

namespace quorvin::ledger {

namespace {

// What the log parser does not report about a counted line: when it was written and,
// for Claude, which message it belongs to. Only counted lines are decoded a second time,
// and they are short next to the tool output around them.
struct LineFacts {
  std::optional<int64_t> at;
  std::string id;  // empty: the line names no message
  bool decoded = false;
};

std::optional<std::string_view> stringOf(simdjson::dom::element object, std::string_view key) {
  std::string_view text;
  if (object[key].get_string().get(text) != simdjson::SUCCESS) return std::nullopt;
  return text;
}

// The same identity the Claude reader uses: the message, and its request when there is one.
void claudeIdentity(simdjson::dom::element root, std::string& id) {
  id.clear();
  auto message = root["message"];
  if (message.error() != simdjson::SUCCESS) return;
  auto messageId = stringOf(message.value_unsafe(), "id");
  if (!messageId || messageId->empty()) return;
  auto request = root["requestId"];
  if (request.error() != simdjson::SUCCESS || request.value_unsafe().is_null()) {
    id.assign(*messageId);
    return;
  }
  std::string_view requestId;
  if (request.get_string().get(requestId) != simdjson::SUCCESS || requestId.empty()) return;
  id.assign(*messageId).append(1, ':').append(requestId);
}

LineFacts factsOf(std::string_view line, UsageSource source) {
  thread_local simdjson::dom::parser parser;
  LineFacts facts;
  simdjson::dom::element root;
  if (parser.parse(line.data(), line.size(), true).get(root) != simdjson::SUCCESS) return facts;
  facts.decoded = true;
  if (auto text = stringOf(root, "timestamp")) {
    if (auto at = parseIso8601Either(*text)) {
      facts.at = std::chrono::duration_cast<std::chrono::seconds>(at->time_since_epoch()).count();
    }
  }
  if (source == UsageSource::claude) claudeIdentity(root, facts.id);
  return facts;
}

UsageCounters fieldwiseMax(const UsageCounters& a, const UsageCounters& b) noexcept {
  return {std::max(a.input, b.input), std::max(a.output, b.output), std::max(a.cacheRead, b.cacheRead),
          std::max(a.cacheWrite, b.cacheWrite)};
}

}  // namespace

Day localDay(int64_t secondsSinceEpoch) {
  const std::time_t time = static_cast<std::time_t>(secondsSinceEpoch);
  std::tm local{};
  if (::localtime_r(&time, &local) == nullptr) return static_cast<Day>(secondsSinceEpoch / 86400);
  const std::chrono::year_month_day date{std::chrono::year(local.tm_year + 1900),
                                         std::chrono::month(static_cast<unsigned>(local.tm_mon + 1)),
                                         std::chrono::day(static_cast<unsigned>(local.tm_mday))};
  return static_cast<Day>(std::chrono::sys_days(date).time_since_epoch().count());
}

uint64_t LogFileTally::consume(std::string_view text) {
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
    auto event = UsageLogParser::parse(text, source, scratch);
    if (!event) return;
    LineFacts facts = factsOf(text, source);
    const int64_t at = facts.at.value_or(INT64_MAX);
    std::string model = event->model.value_or(std::string());
    if (facts.id.empty()) {
      const Day day = facts.at ? localDay(*facts.at) : fallbackDay;
      sums[DayModel{day, std::move(model)}] += event->counters;
      return;
    }
    auto [found, inserted] = messages.try_emplace(facts.id, ClaudeMessage{event->counters, at, model});
    if (inserted) return;
    ClaudeMessage& message = found->second;
    message.counters = fieldwiseMax(message.counters, event->counters);
    if (std::tie(at, model) < std::tie(message.firstAt, message.model)) {
      message.firstAt = at;
      message.model = std::move(model);
    }
    return;
  }
  auto event = UsageLogParser::parse(text, source, state);
  if (!event) return;
  const LineFacts facts = factsOf(text, source);
  const Day day = facts.at ? localDay(*facts.at) : fallbackDay;
  sums[DayModel{day, event->model.value_or(std::string())}] += event->counters;
}

}  // namespace quorvin::ledger
