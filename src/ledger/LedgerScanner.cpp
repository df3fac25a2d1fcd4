#include "ledger/LedgerScanner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <queue>
#include <thread>

#include "ledger/LedgerCache.h"
#include "usage/UsageLogParser.h"

namespace quorvin::ledger {

namespace fs = std::filesystem;

namespace {

// Read size: large enough that a read costs little next to parsing it, small enough that
// two threads' buffers stay a small part of the run's memory.
constexpr size_t kChunkBytes = 1u << 20;
constexpr size_t kTailBytes = 4096;

uint64_t fnv1a(std::string_view bytes) noexcept {
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

class Descriptor {
 public:
  explicit Descriptor(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Reads up to `size` bytes at `offset`; fewer at the end of the file or on an error.
size_t readAt(int fd, char* into, size_t size, uint64_t offset) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = ::pread(fd, into + got, size - got, static_cast<off_t>(offset + got));
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return got;
}

std::optional<uint64_t> tailHashAt(int fd, uint64_t position) {
  const size_t length = static_cast<size_t>(std::min<uint64_t>(position, kTailBytes));
  std::string bytes(length, '\0');
  if (readAt(fd, bytes.data(), length, position - length) != length) return std::nullopt;
  return fnv1a(bytes);
}

FileKey keyOfStat(const struct stat& info) {
  return {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino), static_cast<uint64_t>(info.st_size),
          static_cast<int64_t>(info.st_mtim.tv_sec) * 1'000'000'000LL + info.st_mtim.tv_nsec};
}

// Reads the file on from its tally's position, whole lines only. A line longer than the
// parser reads at all is passed over without being held in memory.
// `buffer` is the calling thread's, kept from file to file: allocating it anew for each file
// left freed megabytes scattered among the tallies' allocations, and the peak memory grew.
void readFile(ScannedFile& file, const std::function<void(uint64_t)>& advanced, std::string& buffer) {
  Descriptor fd(file.path);
  if (fd.get() < 0) return;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return;
  const FileKey now = keyOfStat(info);
  // Unchanged since the last read: nothing to do, not even a look at its bytes.
  if (file.tally.consumed > 0 && now == file.key) return;
  if (file.tally.consumed > 0 && !continues(file, now)) {
    const UsageSource source = file.tally.source;
    file.tally = LogFileTally{};
    file.tally.source = source;
  }
  file.tally.fallbackDay = localDay(info.st_mtim.tv_sec);
  file.key = now;

  buffer.clear();
  uint64_t offset = file.tally.consumed;
  bool skipping = false;  // inside a line too long to read
  while (offset < now.size) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kChunkBytes, now.size - offset));
    const size_t kept = buffer.size();
    buffer.resize(kept + want);
    const size_t got = readAt(fd.get(), buffer.data() + kept, want, offset);
    buffer.resize(kept + got);
    if (got == 0) break;
    offset += got;
    advanced(got);
    std::string_view text = buffer;
    if (skipping) {
      const size_t end = text.find('\n');
      if (end == std::string_view::npos) {
        file.tally.consumed += text.size();
        buffer.clear();
        continue;
      }
      file.tally.consumed += end + 1;
      text.remove_prefix(end + 1);
      skipping = false;
    }
    const uint64_t used = file.tally.consume(text);
    text.remove_prefix(used);
    if (text.size() > UsageLogParser::kMaxLineBytes) {
      file.tally.consumed += text.size();
      text = {};
      skipping = true;
    }
    buffer.erase(0, buffer.size() - text.size());
    // A long line grew the buffer: give the memory back once it is consumed.
    if (buffer.capacity() > 4 * kChunkBytes && buffer.size() < kChunkBytes) buffer.shrink_to_fit();
  }
  file.tailHash = tailHashAt(fd.get(), file.tally.consumed).value_or(0);
}

}  // namespace

std::optional<FileKey> keyOf(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return keyOfStat(info);
}

bool continues(const ScannedFile& file, const FileKey& now) {
  if (now.device != file.key.device || now.inode != file.key.inode) return false;
  if (now.size < file.tally.consumed) return false;
  Descriptor fd(file.path);
  if (fd.get() < 0) return false;
  const auto hash = tailHashAt(fd.get(), file.tally.consumed);
  return hash && *hash == file.tailHash;
}

std::vector<std::pair<std::string, UsageSource>> discoverLogs(const std::vector<LiveUsageOracle::Root>& roots) {
  std::vector<std::pair<std::string, UsageSource>> logs;
  for (const auto& root : roots) {
    std::error_code ec;
    fs::recursive_directory_iterator it(root.path, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      std::error_code statError;
      if (!it->is_regular_file(statError) || it->is_symlink(statError)) continue;
      if (!LiveUsageOracle::passesNameFilter(root.source, it->path().filename().string())) continue;
      logs.emplace_back(it->path().string(), root.source);
    }
  }
  std::sort(logs.begin(), logs.end());
  // Nested roots of one source name a file twice.
  logs.erase(std::unique(logs.begin(), logs.end(),
                         [](const auto& a, const auto& b) { return a.first == b.first; }),
             logs.end());
  return logs;
}

void scanFiles(std::vector<ScannedFile*>& files, unsigned threads,
               const std::function<void(const ScanProgress&)>& progress) {
  // Largest first, so one big file does not start last and hold up the end.
  std::vector<std::pair<uint64_t, ScannedFile*>> sized;
  uint64_t total = 0;
  for (ScannedFile* file : files) {
    const auto key = keyOf(file->path);
    const uint64_t size = key ? key->size : 0;
    total += size > file->tally.consumed ? size - file->tally.consumed : size;
    sized.emplace_back(size, file);
  }
  std::stable_sort(sized.begin(), sized.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<ScannedFile*> order;
  for (const auto& [size, file] : sized) order.push_back(file);

  std::atomic<size_t> next{0};
  std::atomic<uint64_t> done{0};
  std::mutex reporting;
  const auto advanced = [&](uint64_t bytes) {
    const uint64_t now = done.fetch_add(bytes) + bytes;
    if (!progress) return;
    std::lock_guard lock(reporting);
    progress(ScanProgress{now, std::max(now, total)});
  };
  const auto work = [&] {
    std::string buffer;
    buffer.reserve(2 * kChunkBytes);
    for (size_t i = next.fetch_add(1); i < order.size(); i = next.fetch_add(1)) readFile(*order[i], advanced, buffer);
  };
  threads = std::max(1u, std::min<unsigned>(threads, static_cast<unsigned>(order.size())));
  std::vector<std::thread> pool;
  for (unsigned i = 1; i < threads; ++i) pool.emplace_back(work);
  work();
  for (auto& thread : pool) thread.join();
}

std::string monthOf(Day day) {
  const std::chrono::year_month_day date{std::chrono::sys_days(std::chrono::days(day))};
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02u", static_cast<int>(date.year()), static_cast<unsigned>(date.month()));
  return text;
}

namespace {

// Months as numbers while summing: naming a month per message would cost more than the
// sum itself.
int32_t monthNumber(Day day) {
  const std::chrono::year_month_day date{std::chrono::sys_days(std::chrono::days(day))};
  return static_cast<int32_t>(date.year()) * 12 + static_cast<int32_t>(static_cast<unsigned>(date.month())) - 1;
}

std::string monthName(int32_t number) {
  const int32_t year = number >= 0 ? number / 12 : (number - 11) / 12;
  const int month = static_cast<int>(number - year * 12 + 1);  // 1..12
  char text[32];  // room for any int year, so no year can cut the text short
  std::snprintf(text, sizeof text, "%04d-%02d", static_cast<int>(year), month);
  return text;
}

class CellSums {
 public:
  explicit CellSums(std::optional<Day> since) : since_(since) {}
  void add(Day day, UsageSource source, std::string_view model, const UsageCounters& counters) {
    if (since_ && day < *since_) return;
    if (day != lastDay_) {
      lastDay_ = day;
      lastMonth_ = monthNumber(day);
    }
    sums_[Key{lastMonth_, source, model}] += counters;
  }
  Cells cells() const {
    Cells cells;
    for (const auto& [key, counters] : sums_) {
      cells[{monthName(key.month), std::string(rawValue(key.source)), std::string(key.model)}] += counters;
    }
    return cells;
  }

 private:
  struct Key {
    int32_t month;
    UsageSource source;
    std::string_view model;  // held by the tallies or the merged messages
    auto operator<=>(const Key&) const = default;
  };
  std::optional<Day> since_;
  Day lastDay_ = INT32_MIN;
  int32_t lastMonth_ = 0;
  std::map<Key, UsageCounters> sums_;
};

}  // namespace

namespace {

// One tally's messages in ascending id order: its cache block as it lies when the file was
// not read this run, its own messages sorted when it was.
class MessageCursor {
 public:
  explicit MessageCursor(const LogFileTally& tally) {
    if (tally.messages.empty() && !tally.encodedMessages.empty()) {
      block_.emplace(tally.encodedMessages);
      return;
    }
    sorted_.reserve(tally.messages.size());
    for (const auto& [id, message] : tally.messages) sorted_.emplace_back(id, &message);
    std::sort(sorted_.begin(), sorted_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  }
  bool done() const { return next_ >= (block_ ? block_->size() : sorted_.size()); }
  uint64_t id() const { return block_ ? block_->idAt(next_) : sorted_[next_].first; }
  // The current record; moves on to the next.
  MessageRecord take() {
    const size_t at = next_++;
    if (block_) return block_->at(at);
    const ClaudeMessage& message = *sorted_[at].second;
    return {message.counters, message.firstAt, message.day, message.model};
  }

 private:
  std::optional<LedgerCache::MessageBlock> block_;
  std::vector<std::pair<uint64_t, const ClaudeMessage*>> sorted_;
  size_t next_ = 0;
};

}  // namespace

Cells mergeTallies(const std::vector<const LogFileTally*>& tallies, std::optional<Day> since) {
  CellSums sums(since);
  std::vector<MessageCursor> cursors;
  for (const LogFileTally* tally : tallies) {
    for (const auto& [key, counters] : tally->sums) sums.add(key.day, tally->source, key.model, counters);
    if (!tally->messages.empty() || !tally->encodedMessages.empty()) cursors.emplace_back(*tally);
  }
  // Each Claude message once across all files: the files' sorted records merged, with the
  // reports of one id folded together (in any order: the fold does not depend on it).
  using Head = std::pair<uint64_t, size_t>;  // id, cursor
  std::priority_queue<Head, std::vector<Head>, std::greater<>> heads;
  for (size_t i = 0; i < cursors.size(); ++i) {
    if (!cursors[i].done()) heads.emplace(cursors[i].id(), i);
  }
  const auto advance = [&](size_t i) {
    if (!cursors[i].done()) heads.emplace(cursors[i].id(), i);
  };
  while (!heads.empty()) {
    const auto [id, first] = heads.top();
    heads.pop();
    MessageRecord merged = cursors[first].take();
    advance(first);
    while (!heads.empty() && heads.top().first == id) {
      const size_t other = heads.top().second;
      heads.pop();
      foldReport(merged, cursors[other].take());
      advance(other);
    }
    sums.add(merged.day, UsageSource::claude, merged.model, merged.counters);
  }
  return sums.cells();
}

}  // namespace quorvin::ledger
