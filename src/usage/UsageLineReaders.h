#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <simdjson.h>

#include "core/UsageLogEvent.h"
#include "core/UsageParserState.h"
#include "usage/UsageLogParser.h"

// The six line readers, each over the decoded top-level object of one admitted line, and
// the repeated-events rule they share.
namespace quorvin::UsageLineReaders {

using Line = simdjson::dom::element;

std::optional<UsageLogEvent> claude(Line line, UsageParserState& state, const UsageLogParser::Context& context);
std::optional<UsageLogEvent> codex(Line line, UsageParserState& state);
std::optional<UsageLogEvent> kimi(Line line);
std::optional<UsageLogEvent> grok(Line line);
std::optional<UsageLogEvent> gemini(Line line, UsageParserState& state);
std::optional<UsageLogEvent> openclaw(Line line, UsageParserState& state);

// Repeated reports of one identified event count only their growth, against the file's
// `seenEvents`. An empty identifier means none: the event counts as it is.
std::optional<UsageLogEvent> event(const UsageCounters& counters, std::optional<std::string> model,
                                   const std::string& id, UsageParserState& state);

}  // namespace quorvin::UsageLineReaders
