#pragma once

#include <simdjson.h>

#include <optional>
#include <string_view>

#include "core/UsageLogEvent.h"
#include "core/UsageParserState.h"
#include "core/UsageSource.h"

namespace quorvin::UsageLogParser {

// For a reader of whole histories, which needs more of a counted line than its event (its
// time, the message it belongs to): the line as decoded, so it is not decoded twice.
// `inspect` runs only for a line that yields an event, before this thread decodes another.
using Inspect = void (*)(simdjson::dom::element line, void* context);
std::optional<UsageLogEvent> parse(std::string_view line, UsageSource source, UsageParserState& state,
                                   Inspect inspect, void* context);

}  // namespace quorvin::UsageLogParser
