#include "ledger/LedgerCache.h"

#include <cstring>
#include <type_traits>

#include "ledger/LedgerDocument.h"
#include "usage/BoundedFileRead.h"

namespace quorvin::ledger::LedgerCache {

namespace {

constexpr std::string_view kMagic{"QVLEDGER", 8};

uint64_t checksum(std::string_view bytes) noexcept {
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

class Writer {
 public:
  template <class T>
  void number(T value) {
    static_assert(std::is_integral_v<T>);
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    out.append(bytes, sizeof(T));
  }
  void text(std::string_view value) {
    number<uint64_t>(value.size());
    out.append(value);
  }
  void counters(const UsageCounters& value) {
    number(value.input);
    number(value.output);
    number(value.cacheRead);
    number(value.cacheWrite);
  }
  std::string out;
};

// Every read is checked against what is left; the first failure poisons the rest.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : rest_(bytes) {}
  template <class T>
  T number() {
    T value{};
    if (rest_.size() < sizeof(T)) {
      ok_ = false;
      return value;
    }
    std::memcpy(&value, rest_.data(), sizeof(T));
    rest_.remove_prefix(sizeof(T));
    return value;
  }
  std::string text() {
    const uint64_t size = number<uint64_t>();
    if (!ok_ || size > rest_.size()) {
      ok_ = false;
      return {};
    }
    std::string value(rest_.substr(0, size));
    rest_.remove_prefix(size);
    return value;
  }
  UsageCounters counters() {
    UsageCounters value;
    value.input = number<int64_t>();
    value.output = number<int64_t>();
    value.cacheRead = number<int64_t>();
    value.cacheWrite = number<int64_t>();
    return value;
  }
  // A count of records, each at least `minimum` bytes: never more than the bytes left allow.
  uint64_t count(size_t minimum) {
    const uint64_t value = number<uint64_t>();
    if (!ok_ || value > rest_.size() / minimum) ok_ = false;
    return ok_ ? value : 0;
  }
  bool ok() const { return ok_; }
  bool done() const { return ok_ && rest_.empty(); }

 private:
  std::string_view rest_;
  bool ok_ = true;
};

void encodeFile(Writer& w, const ScannedFile& file) {
  const LogFileTally& tally = file.tally;
  w.text(file.path);
  w.number<uint8_t>(static_cast<uint8_t>(tally.source));
  w.number(file.key.device);
  w.number(file.key.inode);
  w.number(file.key.size);
  w.number(file.key.modifiedNs);
  w.number(file.tailHash);
  w.number(tally.consumed);
  w.number(tally.fallbackDay);
  const UsageParserState& state = tally.state;
  w.number<uint8_t>(state.model.has_value());
  if (state.model) w.text(*state.model);
  w.number<uint8_t>(state.codexPrevious.has_value());
  if (state.codexPrevious) {
    w.number(state.codexPrevious->input);
    w.number(state.codexPrevious->cached);
    w.number(state.codexPrevious->output);
    w.number(state.codexPrevious->total);
  }
  w.number<uint8_t>(state.codexSessionStartedAt.has_value());
  if (state.codexSessionStartedAt) {
    w.number<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                          state.codexSessionStartedAt->time_since_epoch())
                          .count());
  }
  w.number<uint8_t>(state.codexIsFork);
  w.number<uint64_t>(state.seenEvents.size());
  for (const auto& [id, counters] : state.seenEvents) {
    w.text(id);
    w.counters(counters);
  }
  w.number<uint64_t>(tally.sums.size());
  for (const auto& [key, counters] : tally.sums) {
    w.number(key.day);
    w.text(key.model);
    w.counters(counters);
  }
  w.number<uint64_t>(tally.messages.size());
  for (const auto& [id, message] : tally.messages) {
    w.text(id);
    w.counters(message.counters);
    w.number(message.firstAt);
    w.text(message.model);
  }
}

bool flag(Reader& r) {
  const auto value = r.number<uint8_t>();
  return value == 1;
}

std::unique_ptr<ScannedFile> decodeFile(Reader& r) {
  auto file = std::make_unique<ScannedFile>();
  LogFileTally& tally = file->tally;
  file->path = r.text();
  const auto source = r.number<uint8_t>();
  if (source >= allUsageSources.size()) return nullptr;
  tally.source = allUsageSources[source];
  file->key.device = r.number<uint64_t>();
  file->key.inode = r.number<uint64_t>();
  file->key.size = r.number<uint64_t>();
  file->key.modifiedNs = r.number<int64_t>();
  file->tailHash = r.number<uint64_t>();
  tally.consumed = r.number<uint64_t>();
  tally.fallbackDay = r.number<Day>();
  if (tally.consumed > file->key.size) return nullptr;
  UsageParserState& state = tally.state;
  if (flag(r)) state.model = r.text();
  if (flag(r)) {
    UsageParserState::CodexCounter counter;
    counter.input = r.number<int64_t>();
    counter.cached = r.number<int64_t>();
    counter.output = r.number<int64_t>();
    counter.total = r.number<int64_t>();
    state.codexPrevious = counter;
  }
  if (flag(r)) state.codexSessionStartedAt = WallTime{} + std::chrono::nanoseconds(r.number<int64_t>());
  state.codexIsFork = flag(r);
  for (uint64_t n = r.count(40); n > 0 && r.ok(); --n) {
    std::string id = r.text();
    state.seenEvents.insert_or_assign(std::move(id), r.counters());
  }
  for (uint64_t n = r.count(44); n > 0 && r.ok(); --n) {
    DayModel key;
    key.day = r.number<Day>();
    key.model = r.text();
    tally.sums[std::move(key)] += r.counters();
  }
  for (uint64_t n = r.count(56); n > 0 && r.ok(); --n) {
    std::string id = r.text();
    ClaudeMessage message;
    message.counters = r.counters();
    message.firstAt = r.number<int64_t>();
    message.model = r.text();
    tally.messages.insert_or_assign(std::move(id), std::move(message));
  }
  if (!r.ok()) return nullptr;
  return file;
}

}  // namespace

std::string encode(const std::vector<const ScannedFile*>& files) {
  Writer body;
  body.number<uint64_t>(files.size());
  for (const ScannedFile* file : files) encodeFile(body, *file);
  Writer head;
  head.out.append(kMagic);
  head.number(kVersion);
  head.number(checksum(body.out));
  return head.out + body.out;
}

std::optional<std::vector<std::unique_ptr<ScannedFile>>> decode(std::string_view bytes) {
  if (bytes.size() > kMaxBytes || !bytes.starts_with(kMagic)) return std::nullopt;
  Reader head(bytes.substr(kMagic.size()));
  const auto version = head.number<uint32_t>();
  const auto sum = head.number<uint64_t>();
  const size_t headSize = kMagic.size() + sizeof(uint32_t) + sizeof(uint64_t);
  if (!head.ok() || version != kVersion || bytes.size() < headSize) return std::nullopt;
  const std::string_view body = bytes.substr(headSize);
  if (checksum(body) != sum) return std::nullopt;
  Reader r(body);
  std::vector<std::unique_ptr<ScannedFile>> files;
  // The smallest file record is well over 64 bytes.
  for (uint64_t n = r.count(64); n > 0; --n) {
    auto file = decodeFile(r);
    if (!file) return std::nullopt;
    files.push_back(std::move(file));
  }
  if (!r.done()) return std::nullopt;
  return files;
}

std::vector<std::unique_ptr<ScannedFile>> load(const std::filesystem::path& path) {
  const auto bytes = readBoundedFile(path.string(), kMaxBytes);
  if (!bytes) return {};
  auto files = decode(*bytes);
  if (!files) return {};
  return std::move(*files);
}

bool save(const std::filesystem::path& path, const std::vector<const ScannedFile*>& files) {
  return writeAtomically(path, encode(files));
}

}  // namespace quorvin::ledger::LedgerCache
