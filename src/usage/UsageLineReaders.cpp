#include "usage/UsageLineReaders.h"

#include <algorithm>

#include "core/ModelLabel.h"
#include "core/SaturatingMath.h"
#include "core/Time.h"
#include "usage/TokenFigure.h"
#include "usage/UsageEventLedger.h"

namespace quorvin::UsageLineReaders {

using TokenFigure::field;
using TokenFigure::figure;
using TokenFigure::objectField;
using TokenFigure::stringField;

namespace {

using Value = std::optional<simdjson::dom::element>;

// A corrupt figure below zero must not lower anyone's totals: events never carry one.
UsageCounters nonNegative(UsageCounters c) noexcept {
  return {std::max<int64_t>(c.input, 0), std::max<int64_t>(c.output, 0), std::max<int64_t>(c.cacheRead, 0),
          std::max<int64_t>(c.cacheWrite, 0)};
}

int64_t sum(int64_t a, int64_t b) noexcept { return saturatingAdd(a, b); }
int64_t positive(int64_t a) noexcept { return std::max<int64_t>(a, 0); }

std::optional<std::string> modelIn(Value object, std::string_view key) {
  auto text = stringField(object, key);
  return text ? cleanModelLabel(*text) : std::nullopt;
}

std::optional<WallTime> timeIn(Value object, std::string_view key) {
  auto text = stringField(object, key);
  return text ? parseIso8601Either(*text) : std::nullopt;
}

bool stringEquals(Value object, std::string_view key, std::string_view expected) {
  auto text = stringField(object, key);
  return text && *text == expected;
}

// Claude Code logs one line per content block of a message, each repeating the message's
// usage, and snapshots of a streaming message: the message and its request identify them.
// Builds into `id`; empty when the line cannot be identified.
void claudeIdentifier(Line line, Value message, std::string& id) {
  id.clear();
  auto messageId = stringField(message, "id");
  if (!messageId || messageId->empty()) return;
  Value request = field(line, "requestId");
  if (!request || request->is_null()) {
    id.assign(*messageId);
    return;
  }
  std::string_view requestId;
  if (request->get_string().get(requestId) != simdjson::SUCCESS || requestId.empty()) return;
  id.reserve(messageId->size() + 1 + requestId.size());
  id.assign(*messageId).append(1, ':').append(requestId);
}

// Repeated-events rule over one map-like store, shared by the file's map and the ledger.
std::optional<UsageCounters> growthOf(std::unordered_map<std::string, UsageCounters>& seen, const std::string& id,
                                      const UsageCounters& counters) {
  auto found = seen.find(id);
  if (found == seen.end()) {
    seen.emplace(id, counters);
    return counters;
  }
  UsageCounters delta = counters.growthOver(found->second);
  found->second = counters;
  if (delta.total() < 1) return std::nullopt;
  return delta;
}

std::optional<UsageLogEvent> codexCounterLine(Line line, Value payload, UsageParserState& state) {
  if (!stringEquals(payload, "type", "token_count")) return std::nullopt;
  Value usage = objectField(objectField(payload, "info"), "total_token_usage");
  if (!usage) return std::nullopt;
  const UsageParserState::CodexCounter counter{figure(usage, "input_tokens"), figure(usage, "cached_input_tokens"),
                                               figure(usage, "output_tokens"), figure(usage, "total_tokens")};
  const std::optional<WallTime> at = timeIn(line, "timestamp");
  if (state.codexIsFork && state.codexSessionStartedAt && at &&
      *at - *state.codexSessionStartedAt < std::chrono::seconds(5)) {
    // The parent session's history replayed into the fork: a baseline, not new usage.
    state.codexPrevious = counter;
    return std::nullopt;
  }
  UsageParserState::CodexCounter delta = counter;
  if (state.codexPrevious) {
    const auto& previous = *state.codexPrevious;
    if (counter.total == previous.total) return std::nullopt;
    if (counter.total > previous.total) {
      delta.input = positive(saturatingSub(counter.input, previous.input));
      delta.cached = positive(saturatingSub(counter.cached, previous.cached));
      delta.output = positive(saturatingSub(counter.output, previous.output));
    }
  }
  state.codexPrevious = counter;
  const UsageCounters counters{positive(saturatingSub(delta.input, delta.cached)), delta.output, delta.cached, 0};
  if (counters.total() <= 0) return std::nullopt;
  return UsageLogEvent{nonNegative(counters), state.model ? state.model : std::optional<std::string>("codex")};
}

// The first key of `keys` whose figure is above 0, else 0.
int64_t firstPositive(Value object, std::initializer_list<std::string_view> keys) {
  for (auto key : keys) {
    if (int64_t value = figure(object, key); value > 0) return value;
  }
  return 0;
}

int64_t figureOrFallback(Value object, std::string_view key, std::string_view fallback) {
  int64_t value = figure(object, key);
  return value < 1 ? figure(object, fallback) : value;
}

void setOpenclawModel(Line line, UsageParserState& state) {
  Value record = objectField(line, "data");
  if (!record) record = line;
  auto model = modelIn(record, "modelId");
  if (!model) model = modelIn(record, "model");
  state.model = std::move(model);
}

}  // namespace

std::optional<UsageLogEvent> event(const UsageCounters& counters, std::optional<std::string> model,
                                   const std::string& id, UsageParserState& state) {
  if (id.empty()) return UsageLogEvent{counters, std::move(model)};
  auto delta = growthOf(state.seenEvents, id, counters);
  if (!delta) return std::nullopt;
  return UsageLogEvent{*delta, std::move(model)};
}

std::optional<UsageLogEvent> claude(Line line, UsageParserState& state, const UsageLogParser::Context& context) {
  Value message = objectField(line, "message");
  Value usage = objectField(message, "usage");
  if (!usage) return std::nullopt;
  const UsageCounters raw{figure(usage, "input_tokens"), figure(usage, "output_tokens"),
                          figure(usage, "cache_read_input_tokens"), figure(usage, "cache_creation_input_tokens")};
  if (raw.total() <= 0) return std::nullopt;
  const UsageCounters counters = nonNegative(raw);

  thread_local std::string id;  // no allocation per line once warm
  claudeIdentifier(line, message, id);

  if (context.claudeNotBefore) {
    auto at = timeIn(line, "timestamp");
    if (at && *at < *context.claudeNotBefore) {
      // Written before we started: remember it as a baseline so a message that keeps
      // growing afterwards counts only what it adds.
      if (!id.empty()) {
        if (context.claudeLedger) {
          context.claudeLedger->remember(id, counters, context.now);
        } else {
          state.seenEvents.insert_or_assign(id, counters);
        }
      }
      return std::nullopt;
    }
  }
  auto model = modelIn(message, "model");
  if (id.empty() || !context.claudeLedger) return event(counters, std::move(model), id, state);
  auto delta = context.claudeLedger->admit(id, counters, context.now);
  if (!delta) return std::nullopt;
  return UsageLogEvent{*delta, std::move(model)};
}

std::optional<UsageLogEvent> codex(Line line, UsageParserState& state) {
  auto type = stringField(line, "type");
  Value payload = objectField(line, "payload");
  if (!type || !payload) return std::nullopt;
  if (*type == "session_meta") {
    auto startedAt = timeIn(line, "timestamp");
    if (!startedAt) startedAt = timeIn(payload, "timestamp");
    state.codexSessionStartedAt = startedAt;
    Value source = objectField(payload, "source");
    state.codexIsFork = TokenFigure::hasValue(payload, "forked_from_id") || TokenFigure::hasValue(source, "subagent");
    return std::nullopt;
  }
  if (*type == "turn_context") {
    state.model = modelIn(payload, "model");
    return std::nullopt;
  }
  if (*type == "event_msg") return codexCounterLine(line, payload, state);
  return std::nullopt;
}

std::optional<UsageLogEvent> kimi(Line line) {
  Value message = objectField(line, "message");
  if (!stringEquals(message, "type", "StatusUpdate")) return std::nullopt;
  Value usage = objectField(objectField(message, "payload"), "token_usage");
  if (!usage) return std::nullopt;
  const UsageCounters counters{figure(usage, "input_other"), figure(usage, "output"), figure(usage, "input_cache_read"),
                               figure(usage, "input_cache_creation")};
  if (counters.total() < 1) return std::nullopt;
  return UsageLogEvent{nonNegative(counters), "kimi"};
}

std::optional<UsageLogEvent> grok(Line line) {
  Value context = objectField(line, "ctx");
  if (!field(context, "prompt_tokens")) return std::nullopt;
  const int64_t prompt = figure(context, "prompt_tokens");
  const int64_t cached = figure(context, "cached_prompt_tokens");
  const UsageCounters counters{positive(saturatingSub(prompt, cached)),
                               sum(figure(context, "completion_tokens"), figure(context, "reasoning_tokens")),
                               cached, 0};
  if (counters.total() < 1) return std::nullopt;
  return UsageLogEvent{nonNegative(counters), "Grok model unknown"};
}

std::optional<UsageLogEvent> gemini(Line line, UsageParserState& state) {
  if (!stringEquals(line, "type", "gemini")) return std::nullopt;
  Value tokens = objectField(line, "tokens");
  if (!tokens) return std::nullopt;
  const int64_t input = firstPositive(tokens, {"input", "prompt", "input_tokens", "prompt_tokens"});
  const int64_t output = firstPositive(tokens, {"output", "candidates", "output_tokens", "candidates_tokens"});
  const int64_t cached = positive(figureOrFallback(tokens, "cached", "cached_tokens"));
  const int64_t thoughts = firstPositive(tokens, {"thoughts", "reasoning", "thoughts_tokens", "reasoning_tokens"});
  const int64_t tool = positive(figureOrFallback(tokens, "tool", "tool_tokens"));
  int64_t total = figure(tokens, "total");
  if (total < 1) total = positive(figure(tokens, "total_tokens"));

  // When the parts add up to the total, the reported input already holds the cached part.
  const bool inputHoldsCache = total == sum(sum(input, output), sum(thoughts, tool)) && cached > 0;
  const int64_t freshInput = inputHoldsCache ? sum(positive(saturatingSub(input, cached)), tool) : sum(input, tool);
  int64_t out = sum(output, thoughts);
  const int64_t counted = sum(sum(freshInput, out), cached);
  if (counted < total) out = sum(out, saturatingSub(total, counted));
  if (sum(sum(freshInput, out), cached) < 1) return std::nullopt;

  if (auto model = modelIn(line, "model")) {
    state.model = std::move(model);
  } else if (!state.model) {
    state.model = "gemini";
  }
  std::string id(stringField(line, "id").value_or(std::string_view{}));
  return event(UsageCounters{freshInput, out, cached, 0}, state.model, id, state);
}

std::optional<UsageLogEvent> openclaw(Line line, UsageParserState& state) {
  auto type = stringField(line, "type");
  if (!type) return std::nullopt;
  if (*type == "model_change" || (*type == "custom" && stringEquals(line, "customType", "model-snapshot"))) {
    setOpenclawModel(line, state);
    return std::nullopt;
  }
  if (*type != "message") return std::nullopt;
  Value message = objectField(line, "message");
  if (!stringEquals(message, "role", "assistant")) return std::nullopt;
  Value usage = objectField(message, "usage");
  if (!usage) return std::nullopt;
  UsageCounters counters{figure(usage, "input"), figure(usage, "output"), figure(usage, "cacheRead"),
                         figure(usage, "cacheWrite")};
  const int64_t totalTokens = figure(usage, "totalTokens");
  if (counters.total() < totalTokens) counters.output = sum(counters.output, saturatingSub(totalTokens, counters.total()));
  if (counters.total() <= 0) return std::nullopt;

  auto model = modelIn(message, "modelId");
  if (!model) model = modelIn(message, "model");
  if (!model) model = state.model;
  if (!model) model = "openclaw";
  state.model = model;
  auto id = stringField(message, "id");
  if (!id) id = stringField(line, "id");
  return event(nonNegative(counters), "[openclaw] " + *model, std::string(id.value_or(std::string_view{})), state);
}

}  // namespace quorvin::UsageLineReaders
