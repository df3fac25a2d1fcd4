#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>

#include "core/UsageCounters.h"
#include "core/UsageParserState.h"
#include "core/UsageSource.h"

namespace quorvin::ledger {

// Local calendar day, counted from 1970-01-01.
using Day = int32_t;

struct DayModel {
  Day day = 0;
  std::string model;
  auto operator<=>(const DayModel&) const = default;
};

// A Claude message seen in one file: its largest report, field by field, and where it
// was first seen. Messages are merged across files only when the whole history is known,
// so the result does not depend on which file was read first.
struct ClaudeMessage {
  UsageCounters counters;
  int64_t firstAt = INT64_MAX;  // seconds since the epoch; unknown sorts last
  Day day = 0;                  // local day of `firstAt`; when unknown, the file's day when read
  std::string model;
  bool operator==(const ClaudeMessage&) const = default;

  // Folds another report of the same message in (foldReport).
  void merge(const ClaudeMessage& other);
};

// A message as a cache block holds it, its model viewed rather than copied; valid while the
// block or tally it came from is.
struct MessageRecord {
  UsageCounters counters;
  int64_t firstAt = INT64_MAX;
  Day day = 0;
  std::string_view model;
};

// The one rule for folding two reports of a message together, owned or viewed: the largest
// figures, the earliest time (and its model and day). The same for any order of reports.
template <class Message>
void foldReport(Message& into, const Message& other) {
  into.counters = UsageCounters::fieldwiseMax(into.counters, other.counters);
  if (into.firstAt == INT64_MAX && other.firstAt == INT64_MAX) {
    // Never dated: the earliest day of the files that hold it.
    into.day = std::min(into.day, other.day);
    if (other.model < into.model) into.model = other.model;
    return;
  }
  if (std::tie(other.firstAt, other.model) < std::tie(into.firstAt, into.model)) {
    into.firstAt = other.firstAt;
    into.day = other.day;
    into.model = other.model;
  }
}

inline void ClaudeMessage::merge(const ClaudeMessage& other) { foldReport(*this, other); }

// A message identity (message and request) as a 64-bit hash: a history holds millions of
// them at most, so a collision is far less likely than a damaged log, and the key is small
// enough that the whole set stays cheap to keep between runs.
uint64_t messageKey(std::string_view messageId, std::string_view requestId) noexcept;

// Everything one log file contributes, and what is needed to read on where it stopped.
struct LogFileTally {
  UsageSource source = UsageSource::claude;
  UsageParserState state;
  std::map<DayModel, UsageCounters> sums;                      // events without an identity
  std::unordered_map<uint64_t, ClaudeMessage> messages;        // Claude, by messageKey
  // Messages as the cache holds them, decoded (into `messages`) only when a run merges or
  // reads on in this file: a run that finds every log unchanged never pays for them, and
  // an unchanged file's block is written back as it came.
  std::string_view encodedMessages;
  std::shared_ptr<const void> encodedBacking;  // keeps the bytes `encodedMessages` views alive
  uint64_t consumed = 0;                                       // bytes read, always whole lines
  Day fallbackDay = 0;  // for lines without a readable time: the file's modification day

  // Reads whole lines of `text` (the file's bytes from `consumed` on); a last line without
  // its line break is left for the next read. Returns the bytes consumed.
  uint64_t consume(std::string_view text);
  // One line without its line break.
  void line(std::string_view text);
  // Decodes `encodedMessages` into `messages` (once), keeping the block while they agree.
  void materialize();
};

// The local day of an instant in seconds since the epoch. Days change on quarter hours in
// every time zone, so the last answer is kept per quarter hour of the calling thread.
Day localDay(int64_t secondsSinceEpoch);

}  // namespace quorvin::ledger
