#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ledger/LedgerScanner.h"

namespace quorvin::ledger {

// What a run of the ledger leaves for the next one: each log's identity, read position
// and tally. It lives on our own disk, but it is read like anything from outside: a cache
// that is damaged, foreign, of another version or beyond its bound is ignored, and the
// next run reads everything again.
namespace LedgerCache {

// Bump whenever the tally's layout or what a reader counts changes: a cache of another
// version holds sums counted by other rules.
inline constexpr uint32_t kVersion = 1;
inline constexpr size_t kMaxBytes = 1u << 30;

std::string encode(const std::vector<const ScannedFile*>& files);
// Nothing unless the whole text is a cache of this version, intact.
std::optional<std::vector<std::unique_ptr<ScannedFile>>> decode(std::string_view bytes);

std::vector<std::unique_ptr<ScannedFile>> load(const std::filesystem::path& path);
bool save(const std::filesystem::path& path, const std::vector<const ScannedFile*>& files);

}  // namespace LedgerCache

}  // namespace quorvin::ledger
