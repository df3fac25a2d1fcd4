#pragma once

#include <optional>
#include <string_view>

#include "core/Time.h"
#include "core/UsageLogEvent.h"
#include "core/UsageParserState.h"
#include "core/UsageSource.h"

namespace quorvin {
class UsageEventLedger;
}

namespace quorvin::UsageLogParser {

// Lines longer than this are never decoded: no agent writes a usage line anywhere near it,
// and decoding one would pin that much memory in the per-thread decoder.
inline constexpr size_t kMaxLineBytes = 64u << 20;

// What the live oracle knows beyond one file.
struct Context {
  // Claude lines stamped earlier than this count nothing (content written before the
  // oracle started, e.g. history copied into a resumed session). Their identifiers are
  // still remembered, so a message that began before and finished after counts only its
  // growth. A line without a readable timestamp is not held back.
  std::optional<WallTime> claudeNotBefore;
  // When set, Claude message identifiers are remembered here instead of in the file's
  // `seenEvents`, so one message that appears in two files counts once.
  UsageEventLedger* claudeLedger = nullptr;
  // The caller's time, for the ledger's forgetting of idle identifiers.
  WallTime now{};
};

// One line of an agent's JSON-lines log (without its line break) to at most one usage
// event. Pure apart from the file's parser state; never throws.
std::optional<UsageLogEvent> parse(std::string_view line, UsageSource source, UsageParserState& state);
std::optional<UsageLogEvent> parse(std::string_view line, UsageSource source, UsageParserState& state,
                                   const Context& context);

// The byte pre-filter alone: whether the line may matter to the source at all.
bool admits(std::string_view line, UsageSource source) noexcept;

}  // namespace quorvin::UsageLogParser
