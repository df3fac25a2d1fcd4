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
// another file (the next refresh sees the replacement) or cannot be opened.
int openSameFile(const std::string& path, const std::optional<FileIdentity>& identity) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (identity && fileIdentityOf(st) != *identity)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Frees the buffer itself: assigning an empty string keeps the old capacity.
void releaseBuffer(std::string& buffer) { std::string().swap(buffer); }

}  // namespace

void LiveUsageOracle::refreshFile(const std::string& path, UsageSource source, const Facts* given, WallTime now) {
  std::optional<Facts> fetched;
  if (!given) {
    fetched = Facts::read(path, false);
    if (!fetched) return;
    given = &*fetched;
  }
  if (!given->regular) return;

  if (auto known = files_.find(path); known != files_.end()) {
    refreshKnownFile(path, known->second, *given, now);
    return;
  }

  // A new path. Its content counts from the first byte only when the file is new.
  FileState state;
  state.source = source;
  state.identity = given->identity;
  bool counted = true;
  if (given->identity) {
    // Counted under another path moments ago, before that path was replaced.
    auto retired = retiredIdentities_.find(*given->identity);
    if (retired != retiredIdentities_.end() && retired->second > now) {
      retiredIdentities_.erase(retired);
      counted = false;
    }
  }
  auto moved = files_.end();
  if (counted && given->identity) {
    moved = std::find_if(files_.begin(), files_.end(),
                         [&](const auto& other) { return other.second.identity == given->identity; });
  }
  if (moved != files_.end()) {
    // Renamed: the state and its offset follow the file.
    state = std::move(moved->second);
    files_.erase(moved);
  } else if (counted) {
    std::optional<Facts> timed;
    const Facts* facts = given;
    if (!given->timesRead) {
      timed = Facts::read(path, true);
      if (!timed) return;
      facts = &*timed;
    }
    // Without a creation time the file is taken as new; for Claude the parser still
    // holds back lines stamped before start.
    counted = !(facts->created && *facts->created < startedAt_ - 1s);
    // Read from its first byte, the file's own lines give the Codex baseline; priming
    // from a window later would only lose what lies before the window (the model).
    state.codexPrimed = counted;
  }
  if (!counted) state.offset = given->size;
  auto entry = files_.emplace(path, std::move(state)).first;
  filesChanged_ = true;
  if (counted) readGrowth(path, entry->second, *given, now);
}

void LiveUsageOracle::refreshKnownFile(const std::string& path, FileState& state, const Facts& facts, WallTime now) {
  if (!state.identity) {
    state.identity = facts.identity;
  } else if (facts.identity && *facts.identity != *state.identity) {
    // Replaced at the same path: the old file may show up under another name (a
    // rotation), where it must not count again.
    retiredIdentities_[*state.identity] = now + kRetiredIdentityLifetime;
    archiveAndReset(state, facts.identity);
    state.codexPrimed = true;
    filesChanged_ = true;
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
  state.models.clear();
  releaseBuffer(state.remainder);
  state.discarding = false;
  state.offset = 0;
  state.identity = identity;
}

void LiveUsageOracle::primeCodex(const std::string& path, FileState& state) {
  int fd = openSameFile(path, state.identity);
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
  int fd = openSameFile(path, state.identity);
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
          state.remainder.append(bytes);
        }
      }
      return;
    }
    if (!state.discarding) {
      state.remainder.append(cursor, size_t(feed - cursor));
      if (state.remainder.size() <= kMaxPartialLineBytes) consumeLine(state, state.remainder, now);
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
