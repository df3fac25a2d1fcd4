#pragma once

#include <optional>
#include <string_view>

#include "core/UsageLogEvent.h"
#include "core/UsageParserState.h"
#include "core/UsageSource.h"

namespace quorvin::UsageLogParser {

// One line of an agent's JSON-lines log (without its line break) to at most one usage
// event. Pure apart from the file's parser state; never throws.
std::optional<UsageLogEvent> parse(std::string_view line, UsageSource source, UsageParserState& state);

// The byte pre-filter alone: whether the line may matter to the source at all.
bool admits(std::string_view line, UsageSource source) noexcept;

}  // namespace quorvin::UsageLogParser
