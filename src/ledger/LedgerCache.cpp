#include "ledger/LedgerCache.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <unordered_map>
#include <type_traits>

#include "ledger/LedgerDocument.h"

namespace quorvin::ledger::LedgerCache {

namespace {

constexpr std::string_view kMagic{"QVLEDGER", 8};

// FNV-1a over 8-byte words (then the last bytes one by one): it only has to catch a torn
// or damaged file, and a repeat run checks the whole cache. Fed in pieces of any size, it
// sums the bytes as one run.
class Checksum {
 public:
  void feed(std::string_view bytes) noexcept {
    if (held_ > 0) {
      const size_t take = std::min(bytes.size(), sizeof(uint64_t) - held_);
      std::memcpy(carry_ + held_, bytes.data(), take);
      held_ += take;
      bytes.remove_prefix(take);
      if (held_ < sizeof(uint64_t)) return;
      word(carry_);
      held_ = 0;
    }
    size_t i = 0;
    for (; i + sizeof(uint64_t) <= bytes.size(); i += sizeof(uint64_t)) word(bytes.data() + i);
    held_ = bytes.size() - i;
    std::memcpy(carry_, bytes.data() + i, held_);
  }
  uint64_t finish() const noexcept {
    uint64_t hash = hash_;
    for (size_t i = 0; i < held_; ++i) {
      hash ^= static_cast<unsigned char>(carry_[i]);
      hash *= 1099511628211ull;
    }
    return hash;
  }

 private:
  void word(const char* bytes) noexcept {
    uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    hash_ ^= value;
    hash_ *= 1099511628211ull;
    hash_ ^= hash_ >> 29;
  }
  uint64_t hash_ = 1469598103934665603ull;
  char carry_[sizeof(uint64_t)] = {};
  size_t held_ = 0;
};

uint64_t checksum(std::string_view bytes) noexcept {
  Checksum sum;
  sum.feed(bytes);
  return sum.finish();
}

// Builds the cache as a list of pieces: small values are copied into buffers, large blocks
// (an unchanged file's messages, mapped from the last cache) are referred to where they
// lie, so that rewriting the cache after a small change neither copies nor clears them.
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
  // Like text(), but a large value is not copied: it must outlive the writer's pieces.
  void block(std::string_view value) {
    if (value.size() < kCopyBelow) return text(value);
    number<uint64_t>(value.size());
    cut();
    pieces_.push_back(value);
  }
  // Like block(), for a value the writer keeps alive itself.
  void block(std::string&& value) {
    if (value.size() < kCopyBelow) return text(value);
    number<uint64_t>(value.size());
    cut();
    pieces_.push_back(held_.emplace_back(std::move(value)));
  }
  void counters(const UsageCounters& value) {
    number(value.input);
    number(value.output);
    number(value.cacheRead);
    number(value.cacheWrite);
  }
  // Overwrites bytes of the first piece, which is always the writer's own.
  void patchFirst(size_t at, const void* bytes, size_t size) {
    cut();
    std::memcpy(held_.front().data() + at, bytes, size);
  }
  // Everything written, in order; valid while the writer and the referred blocks are.
  const std::vector<std::string_view>& pieces() {
    cut();
    return pieces_;
  }
  std::string out;  // the piece being written

 private:
  static constexpr size_t kCopyBelow = 4096;
  void cut() {
    if (out.empty()) return;
    pieces_.push_back(held_.emplace_back(std::move(out)));
    out.clear();
  }
  std::deque<std::string> held_;  // a deque: pieces point into its strings, which never move
  std::vector<std::string_view> pieces_;
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
  std::string text() { return std::string(view()); }
  // Valid while the bytes read are.
  std::string_view view() {
    const uint64_t size = number<uint64_t>();
    if (!ok_ || size > rest_.size()) {
      ok_ = false;
      return {};
    }
    const std::string_view value = rest_.substr(0, size);
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
  size_t left() const { return rest_.size(); }
  bool done() const { return ok_ && rest_.empty(); }

 private:
  std::string_view rest_;
  bool ok_ = true;
};

// A file's messages name few models: each is written once and referred to by number.
// Records are of one size (kMessageBytes), so a block is checked without decoding it.
constexpr size_t kMessageBytes = 56;

// Records are sorted by id, so that blocks merge as they lie (MessageBlock).
void encodeMessages(Writer& w, const std::unordered_map<uint64_t, ClaudeMessage>& messages) {
  std::unordered_map<std::string_view, uint32_t> modelNumbers;
  std::vector<std::string_view> models;
  std::vector<std::pair<uint64_t, const ClaudeMessage*>> sorted;
  sorted.reserve(messages.size());
  for (const auto& [id, message] : messages) {
    sorted.emplace_back(id, &message);
    if (modelNumbers.try_emplace(message.model, static_cast<uint32_t>(models.size())).second) {
      models.push_back(message.model);
    }
  }
  std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  w.number<uint64_t>(models.size());
  for (std::string_view model : models) w.text(model);
  w.number<uint64_t>(messages.size());
  for (const auto& [id, pointer] : sorted) {
    const ClaudeMessage& message = *pointer;
    w.number(id);
    w.counters(message.counters);
    w.number(message.firstAt);
    w.number(message.day);
    w.number(modelNumbers[message.model]);
  }
}

// Whether a block is whole: its model table, then exactly its records in ascending id order,
// each naming a model of the table.
bool messagesAreSound(std::string_view block) {
  Reader r(block);
  uint64_t models = r.count(8);
  for (uint64_t n = models; n > 0 && r.ok(); --n) r.text();
  const uint64_t count = r.count(kMessageBytes);
  if (!r.ok()) return false;
  const std::string_view records = block.substr(block.size() - r.left());
  if (records.size() != count * kMessageBytes) return false;
  uint64_t previous = 0;
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t id = 0;
    uint32_t model = 0;
    std::memcpy(&id, records.data() + i * kMessageBytes, sizeof id);
    std::memcpy(&model, records.data() + i * kMessageBytes + kMessageBytes - sizeof model, sizeof model);
    if (model >= models || (i > 0 && id <= previous)) return false;
    previous = id;
  }
  return true;
}

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
  // The messages as one block with its length, copied as it came when this run did not
  // need to decode it.
  if (!tally.encodedMessages.empty()) {
    w.block(tally.encodedMessages);
    return;
  }
  Writer block;
  encodeMessages(block, tally.messages);
  w.block(std::move(block.out));
}

void encodeCells(Writer& w, const Cells& cells) {
  w.number<uint64_t>(cells.size());
  for (const auto& [key, counters] : cells) {
    w.text(std::get<0>(key));
    w.text(std::get<1>(key));
    w.text(std::get<2>(key));
    w.counters(counters);
  }
}

bool flag(Reader& r) {
  const auto value = r.number<uint8_t>();
  return value == 1;
}

std::unique_ptr<ScannedFile> decodeFile(Reader& r, const std::shared_ptr<const void>& backing) {
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
  // Checked now, decoded only when this run needs the file's messages.
  tally.encodedMessages = r.view();
  tally.encodedBacking = backing;
  if (!r.ok() || !messagesAreSound(tally.encodedMessages)) return nullptr;
  return file;
}

std::optional<Cells> decodeCells(Reader& r) {
  Cells cells;
  for (uint64_t n = r.count(56); n > 0 && r.ok(); --n) {
    std::string month = r.text();
    std::string agent = r.text();
    std::string model = r.text();
    cells[{std::move(month), std::move(agent), std::move(model)}] += r.counters();
  }
  if (!r.ok()) return std::nullopt;
  return cells;
}

void encodeKey(Writer& w, const FileKey& key) {
  w.number(key.device);
  w.number(key.inode);
  w.number(key.size);
  w.number(key.modifiedNs);
}

FileKey decodeKey(Reader& r) {
  FileKey key;
  key.device = r.number<uint64_t>();
  key.inode = r.number<uint64_t>();
  key.size = r.number<uint64_t>();
  key.modifiedNs = r.number<int64_t>();
  return key;
}

void encodeStores(Writer& w, const std::vector<StoreTally>& stores) {
  w.number<uint64_t>(stores.size());
  for (const auto& store : stores) {
    w.text(store.path);
    w.text(store.agent);
    encodeKey(w, store.key);
    encodeKey(w, store.walKey);
    w.number<uint64_t>(store.sums.size());
    for (const auto& [key, counters] : store.sums) {
      w.number(key.day);
      w.text(key.model);
      w.counters(counters);
    }
  }
}

std::optional<std::vector<StoreTally>> decodeStores(Reader& r) {
  std::vector<StoreTally> stores;
  for (uint64_t n = r.count(88); n > 0 && r.ok(); --n) {
    StoreTally store;
    store.path = r.text();
    store.agent = r.text();
    store.key = decodeKey(r);
    store.walKey = decodeKey(r);
    for (uint64_t sums = r.count(44); sums > 0 && r.ok(); --sums) {
      DayModel key;
      key.day = r.number<Day>();
      key.model = r.text();
      store.sums[std::move(key)] += r.counters();
    }
    stores.push_back(std::move(store));
  }
  if (!r.ok()) return std::nullopt;
  return stores;
}

}  // namespace

MessageBlock::MessageBlock(std::string_view block) {
  Reader r(block);
  for (uint64_t n = r.count(8); n > 0 && r.ok(); --n) models_.push_back(r.view());
  count_ = static_cast<size_t>(r.count(kMessageBytes));
  if (!r.ok()) count_ = 0;
  records_ = block.substr(block.size() - r.left());
  count_ = std::min(count_, records_.size() / kMessageBytes);
}

uint64_t MessageBlock::idAt(size_t i) const {
  uint64_t id = 0;
  std::memcpy(&id, records_.data() + i * kMessageBytes, sizeof id);
  return id;
}

MessageRecord MessageBlock::at(size_t i) const {
  Reader r(records_.substr(i * kMessageBytes + sizeof(uint64_t), kMessageBytes - sizeof(uint64_t)));
  MessageRecord record;
  record.counters = r.counters();
  record.firstAt = r.number<int64_t>();
  record.day = r.number<Day>();
  const auto model = r.number<uint32_t>();
  if (model < models_.size()) record.model = models_[model];
  return record;
}

void decodeMessages(std::string_view block, std::unordered_map<uint64_t, ClaudeMessage>& into) {
  const MessageBlock records(block);
  into.reserve(into.size() + records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    const MessageRecord record = records.at(i);
    ClaudeMessage message{record.counters, record.firstAt, record.day, std::string(record.model)};
    // try_emplace leaves `message` alone when the id is there already.
    auto [found, inserted] = into.try_emplace(records.idAt(i), std::move(message));
    if (!inserted) found->second.merge(message);
  }
}

namespace {

// The cache as pieces, its checksum filled in. `w` holds what the pieces point into.
const std::vector<std::string_view>& encodeInto(Writer& w, const std::vector<const ScannedFile*>& files,
                                                const Cells& cells, const std::vector<StoreTally>& stores) {
  w.out.append(kMagic);
  w.number(kVersion);
  const size_t sumAt = w.out.size();
  w.number<uint64_t>(0);  // the checksum, once the body is written
  const size_t headSize = w.out.size();
  w.number<uint64_t>(files.size());
  for (const ScannedFile* file : files) encodeFile(w, *file);
  encodeCells(w, cells);
  encodeStores(w, stores);
  const auto& pieces = w.pieces();
  Checksum sum;
  sum.feed(pieces.front().substr(headSize));
  for (size_t i = 1; i < pieces.size(); ++i) sum.feed(pieces[i]);
  const uint64_t value = sum.finish();
  w.patchFirst(sumAt, &value, sizeof value);
  return pieces;
}

}  // namespace

std::string encode(const std::vector<const ScannedFile*>& files, const Cells& cells,
                   const std::vector<StoreTally>& stores) {
  Writer w;
  std::string bytes;
  for (std::string_view piece : encodeInto(w, files, cells, stores)) bytes.append(piece);
  return bytes;
}

std::optional<Contents> decode(std::string_view bytes, std::shared_ptr<const void> backing) {
  if (bytes.size() > kMaxBytes || !bytes.starts_with(kMagic)) return std::nullopt;
  if (!backing) {
    auto copy = std::make_shared<const std::string>(bytes);
    bytes = *copy;
    backing = std::move(copy);
  }
  Reader head(bytes.substr(kMagic.size()));
  const auto version = head.number<uint32_t>();
  const auto sum = head.number<uint64_t>();
  const size_t headSize = kMagic.size() + sizeof(uint32_t) + sizeof(uint64_t);
  if (!head.ok() || version != kVersion || bytes.size() < headSize) return std::nullopt;
  const std::string_view body = bytes.substr(headSize);
  if (checksum(body) != sum) return std::nullopt;
  Reader r(body);
  Contents contents;
  // The smallest file record is well over 64 bytes.
  for (uint64_t n = r.count(64); n > 0; --n) {
    auto file = decodeFile(r, backing);
    if (!file) return std::nullopt;
    contents.files.push_back(std::move(file));
  }
  auto cells = decodeCells(r);
  auto stores = cells ? decodeStores(r) : std::nullopt;
  if (!stores || !r.done()) return std::nullopt;
  contents.cells = std::move(*cells);
  contents.stores = std::move(*stores);
  return contents;
}

namespace {

// The cache's bytes, mapped rather than read: a repeat run then neither copies nor clears
// megabytes of message records it will not look at. The file is only ever replaced by a
// rename, never rewritten in place, so the mapped bytes cannot shrink under us.
class MappedFile {
 public:
  static std::shared_ptr<const MappedFile> open(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return nullptr;
    struct stat status {};
    void* data = MAP_FAILED;
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0 &&
        static_cast<uint64_t>(status.st_size) <= kMaxBytes) {
      data = ::mmap(nullptr, static_cast<size_t>(status.st_size), PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    }
    ::close(fd);
    if (data == MAP_FAILED) return nullptr;
    return std::shared_ptr<const MappedFile>(new MappedFile(data, static_cast<size_t>(status.st_size)));
  }
  ~MappedFile() { ::munmap(data_, size_); }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  std::string_view bytes() const { return {static_cast<const char*>(data_), size_}; }

 private:
  MappedFile(void* data, size_t size) : data_(data), size_(size) {}
  void* data_;
  size_t size_;
};

}  // namespace

Contents load(const std::filesystem::path& path) {
  const auto mapped = MappedFile::open(path);
  if (!mapped) return {};
  auto contents = decode(mapped->bytes(), mapped);
  if (!contents) return {};
  return std::move(*contents);
}

bool save(const std::filesystem::path& path, const std::vector<const ScannedFile*>& files, const Cells& cells,
          const std::vector<StoreTally>& stores) {
  // Not flushed to disk: a cache torn by a crash fails its checksum and is rebuilt, and
  // a flush would cost more than the rest of a repeat run.
  Writer w;
  return writeAtomically(path, encodeInto(w, files, cells, stores), Durability::checksummed);
}

}  // namespace quorvin::ledger::LedgerCache
