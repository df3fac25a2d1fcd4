// Tailing one log file: identity, truncation, reading appended bytes, framing lines.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "usage/CostSum.h"
#include "usage/LiveUsageOracle.h"
#include "usage/LiveUsageOracleFacts.h"
#include "usage/UsageCostEstimator.h"
#include "usage/UsageLogParser.h"

namespace quorvin {

using namespace std::chrono_literals;

namespace {

constexpr auto kRetiredIdentityLifetime = 60s;
constexpr auto kClaudeHistorySlack = 60s;
constexpr uint64_t kCodexPrimingWindow = 2u << 20;
constexpr size_t kReadChunk = 256u << 10;

// A read-only descriptor of the file the state describes; none when the path now names
// another file (the next refresh sees the replacement), a link, or cannot be opened.
int openSameFile(const std::string& path, const std::optional<FileIdentity>& identity, bool birthTimes) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return -1;
  auto facts = LiveUsageOracle::Facts::read(fd, birthTimes);
  if (!facts || !facts->regular || (identity && facts->identity != identity)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Frees the buffer itself: assigning an empty string keeps the old capacity.
void releaseBuffer(std::string& buffer) { std::string().swap(buffer); }

// Appends to a partial line without letting doubling take the capacity past the bound.
void appendPartial(std::string& remainder, const char* bytes, size_t length) {
  size_t needed = remainder.size() + length;
  if (needed > remainder.capacity()) {
    remainder.reserve(std::max(needed, std::min(2 * remainder.capacity(), LiveUsageOracle::kMaxPartialLineBytes)));
  }
  remainder.append(bytes, length);
}

}  // namespace

void LiveUsageOracle::refreshFile(const std::string& path, UsageSource source, const Facts* given, WallTime now) {
  std::optional<Facts> fetched;
  if (!given) {
    fetched = Facts::read(path, options_.birthTimes);
    if (!fetched) return;
    given = &*fetched;
  }
  if (!given->regular) return;
  if (auto known = files_.find(path); known != files_.end()) {
    known->second.missingSince.reset();
    refreshKnownFile(path, known->second, *given, now);
  } else {
    refreshNewFile(path, source, *given, now);
  }
}

std::unordered_map<std::string, LiveUsageOracle::FileState>::iterator LiveUsageOracle::findByIdentity(
    const FileIdentity& identity, const std::string& otherThan) {
  // Only for paths seen for the first time or replaced, so a walk of the map is cheap
  // enough; an index would cost memory on every file for a rare event.
  for (auto it = files_.begin(); it != files_.end(); ++it) {
    if (it->second.identity == identity && it->first != otherThan) return it;
  }
  return files_.end();
}

bool LiveUsageOracle::existedBeforeStart(const Facts& facts) const {
  // Without a birth time, a file whose status last changed before start existed then.
  if (facts.created) return *facts.created < startedAt_ - 1s;
  return facts.changed && *facts.changed < startedAt_ - 1s;
}

void LiveUsageOracle::refreshNewFile(const std::string& path, UsageSource source, const Facts& facts, WallTime now) {
  FileState state;
  state.source = source;
  state.identity = facts.identity;
  // Where a file seen at start by its size alone goes on from.
  std::optional<uint64_t> sizeAtStart;
  if (auto record = dormant_.find(path); record != dormant_.end()) {
    // Under this path it may since have been replaced by another file.
    if (record->second.identity == facts.identity) sizeAtStart = record->second.size;
    dormant_.erase(record);
  }
  bool read = true;
  bool renamed = false;
  if (!sizeAtStart && facts.identity) {
    auto retired = retiredIdentities_.find(*facts.identity);
    auto moved = files_.end();
    if (retired != retiredIdentities_.end() && retired->second > now) {
      // Counted under another path moments ago, before that path was replaced.
      retiredIdentities_.erase(retired);
      state.offset = facts.size;
      read = false;
    } else if ((moved = findByIdentity(*facts.identity, path)) != files_.end()) {
      // Renamed: the state and its offset follow the file.
      state = std::move(moved->second);
      state.missingSince.reset();
      files_.erase(moved);
      renamed = true;
    } else {
      auto record = std::find_if(dormant_.begin(), dormant_.end(),
                                 [&](const auto& entry) { return entry.second.identity == *facts.identity; });
      if (record != dormant_.end()) {  // an old file renamed after start
        sizeAtStart = record->second.size;
        dormant_.erase(record);
      }
    }
  }
  if (sizeAtStart) {
    state.offset = *sizeAtStart;
  } else if (read && !renamed) {
    // Its content counts from the first byte only when the file is new.
    if (existedBeforeStart(facts)) {
      state.offset = facts.size;
      read = false;
    } else {
      // Read from its first byte, the file's own lines give the Codex baseline; priming
      // from a window later would only lose what lies before the window (the model).
      state.codexPrimed = true;
    }
  }
  auto entry = files_.emplace(path, std::move(state)).first;
  filesChanged_ = true;
  if (read) readGrowth(path, entry->second, facts, now);
}

void LiveUsageOracle::refreshKnownFile(const std::string& path, FileState& state, const Facts& facts, WallTime now) {
  if (!state.identity) {
    state.identity = facts.identity;
  } else if (facts.identity && *facts.identity != *state.identity) {
    // Another file has this path now. The old one may show up under another name (a
    // rotation), where it must not count again.
    retiredIdentities_[*state.identity] = now + kRetiredIdentityLifetime;
    filesChanged_ = true;
    auto incoming = findByIdentity(*facts.identity, path);
    if (incoming != files_.end()) {
      // A file we tail under another name was renamed over this one (a temporary file
      // that passes the name filter): its state comes along, and what this path counted
      // so far stays as archived.
      FileState moved = std::move(incoming->second);
      files_.erase(incoming);
      moved.archived += state.counters + state.archived;
      moved.archivedCost = addCost(moved.archivedCost, addCost(state.estimatedCost, state.archivedCost));
      moved.models.merge(state.models);
      moved.missingSince.reset();
      state = std::move(moved);
    } else {
      archiveAndReset(state, facts.identity);
      state.codexPrimed = true;
    }
  }
  readGrowth(path, state, facts, now);
}

void LiveUsageOracle::readGrowth(const std::string& path, FileState& state, const Facts& facts, WallTime now) {
  const uint64_t size = facts.size;
  if (size < state.offset) {
    archiveAndReset(state, facts.identity);
    state.codexPrimed = true;
    filesChanged_ = true;
  }
  if (state.offset < size) {
    if (state.source == UsageSource::codex && state.offset > 0 && !state.codexPrimed) primeCodex(path, state);
    readAppended(path, state, now);
  }
}

void LiveUsageOracle::archiveAndReset(FileState& state, std::optional<FileIdentity> identity) {
  state.archived += state.counters;
  state.archivedCost = addCost(state.archivedCost, state.estimatedCost);
  state.counters = {};
  state.estimatedCost = 0;
  state.parser = UsageParserState{};
  // The models stay: the archived tokens and cost they priced still count.
  releaseBuffer(state.remainder);
  state.discarding = false;
  state.offset = 0;
  state.identity = identity;
}

void LiveUsageOracle::primeCodex(const std::string& path, FileState& state) {
  int fd = openSameFile(path, state.identity, options_.birthTimes);
  if (fd < 0) return;
  uint64_t window = std::min<uint64_t>(state.offset, kCodexPrimingWindow);
  std::string bytes(window, '\0');
  uint64_t used = 0;
  bool failed = false;
  while (used < window) {
    ssize_t n = ::pread(fd, bytes.data() + used, window - used, off_t(state.offset - window + used));
    if (n <= 0) {
      failed = true;
      break;
    }
    used += uint64_t(n);
  }
  ::close(fd);
  if (failed) return;

  // Only the last cumulative counter and model before the offset matter; the first piece
  // may be the tail of a longer line and simply fails to decode.
  UsageParserState scratch;
  std::string_view rest = bytes;
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (!line.empty() && UsageLogParser::admits(line, UsageSource::codex)) {
      UsageLogParser::parse(line, UsageSource::codex, scratch);
    }
  }
  state.parser.codexPrevious = scratch.codexPrevious;
  state.parser.model = scratch.model;
  state.codexPrimed = true;
}

void LiveUsageOracle::readAppended(const std::string& path, FileState& state, WallTime now) {
  int fd = openSameFile(path, state.identity, options_.birthTimes);
  if (fd < 0) return;
  if (readBuffer_.size() < kReadChunk) readBuffer_.resize(kReadChunk);
  for (;;) {
    ssize_t n = ::pread(fd, readBuffer_.data(), readBuffer_.size(), off_t(state.offset));
    if (n <= 0) break;  // end of file, or an error the next refresh retries
    state.offset += uint64_t(n);
    consume(state, std::string_view(readBuffer_.data(), size_t(n)), now);
    filesChanged_ = true;
    // A short read of a regular file is its end for now; skip the read that says so.
    if (size_t(n) < readBuffer_.size()) break;
  }
  ::close(fd);
}

void LiveUsageOracle::consume(FileState& state, std::string_view bytes, WallTime now) {
  const char* cursor = bytes.data();
  const char* end = bytes.data() + bytes.size();
  if (state.discarding || !state.remainder.empty()) {
    const char* feed = static_cast<const char*>(std::memchr(cursor, '\n', size_t(end - cursor)));
    if (!feed) {
      if (!state.discarding) {
        if (state.remainder.size() + bytes.size() > kMaxPartialLineBytes) {
          releaseBuffer(state.remainder);
          state.discarding = true;
        } else {
          appendPartial(state.remainder, bytes.data(), bytes.size());
        }
      }
      return;
    }
    if (!state.discarding) {
      if (state.remainder.size() + size_t(feed - cursor) <= kMaxPartialLineBytes) {
        appendPartial(state.remainder, cursor, size_t(feed - cursor));
        consumeLine(state, state.remainder, now);
      }
    }
    state.remainder.clear();
    state.discarding = false;
    cursor = feed + 1;
  }
  while (cursor < end) {
    const char* feed = static_cast<const char*>(std::memchr(cursor, '\n', size_t(end - cursor)));
    if (!feed) break;
    if (feed > cursor) consumeLine(state, std::string_view(cursor, size_t(feed - cursor)), now);
    cursor = feed + 1;
  }
  if (cursor < end) {
    if (size_t(end - cursor) > kMaxPartialLineBytes) {
      state.discarding = true;
    } else {
      state.remainder.assign(cursor, size_t(end - cursor));
    }
  }
  // A partial line once held must not keep its buffer for the rest of the run: with a
  // thousand files tailed, idle buffers of tens of KiB each add up to most of the memory.
  if (state.remainder.empty()) {
    releaseBuffer(state.remainder);
  } else if (state.remainder.capacity() > 4u << 10 && state.remainder.size() < state.remainder.capacity() / 2) {
    std::string(state.remainder).swap(state.remainder);
  }
}

void LiveUsageOracle::consumeLine(FileState& state, std::string_view line, WallTime now) {
  std::optional<UsageLogEvent> event;
  if (state.source == UsageSource::claude) {
    UsageLogParser::Context context;
    context.claudeNotBefore = startedAt_ - kClaudeHistorySlack;
    context.claudeLedger = &claudeLedger_;
    context.now = now;
    event = UsageLogParser::parse(line, state.source, state.parser, context);
  } else {
    event = UsageLogParser::parse(line, state.source, state.parser);
  }
  if (!event) return;
  state.counters += event->counters;
  // One line is one request: priced at the rates in force now and the tier of its input.
  state.estimatedCost =
      addCost(state.estimatedCost, UsageCostEstimator::estimateRequest(event->counters, event->model, now));
  if (event->model) state.models.insert(*event->model);
}

}  // namespace quorvin
