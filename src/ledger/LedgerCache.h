#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ledger/LedgerScanner.h"
#include "ledger/StoreTally.h"

namespace quorvin::ledger {

// What a run of the ledger leaves for the next one: each log's identity, read position
// and tally. It lives on our own disk, but it is read like anything from outside: a cache
// that is damaged, foreign, of another version or beyond its bound is ignored, and the
// next run reads everything again.
namespace LedgerCache {

// Bump whenever the tally's layout or what a reader counts changes: a cache of another
// version holds sums counted by other rules.
inline constexpr uint32_t kVersion = 3;
inline constexpr size_t kMaxBytes = 1u << 30;

// The files' tallies, and the cells they merge into, so that a run that finds every file
// as it was need not merge them again.
struct Contents {
  std::vector<std::unique_ptr<ScannedFile>> files;
  std::optional<Cells> cells;  // none: no usable cache
  std::vector<StoreTally> stores;
};

std::string encode(const std::vector<const ScannedFile*>& files, const Cells& cells,
                   const std::vector<StoreTally>& stores = {});
// Nothing unless the whole text is a cache of this version, intact. The tallies' message
// blocks view `bytes`, kept alive by `backing` (a copy of `bytes` when none is given).
std::optional<Contents> decode(std::string_view bytes, std::shared_ptr<const void> backing = {});

Contents load(const std::filesystem::path& path);

// The records of a block of messages that `decode` accepted, in ascending id order, read in
// place: merging the whole history needs no copy of the files that did not change.
class MessageBlock {
 public:
  explicit MessageBlock(std::string_view block);
  size_t size() const { return count_; }
  uint64_t idAt(size_t i) const;
  MessageRecord at(size_t i) const;

 private:
  std::vector<std::string_view> models_;
  std::string_view records_;
  size_t count_ = 0;
};

// Adds a block of messages that `decode` accepted (a tally's `encodedMessages`) to `into`.
void decodeMessages(std::string_view block, std::unordered_map<uint64_t, ClaudeMessage>& into);
bool save(const std::filesystem::path& path, const std::vector<const ScannedFile*>& files, const Cells& cells,
          const std::vector<StoreTally>& stores);

}  // namespace LedgerCache

}  // namespace quorvin::ledger
