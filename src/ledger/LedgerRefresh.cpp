#include "ledger/LedgerRefresh.h"

#include <memory>
#include <set>
#include <unordered_map>

#include "ledger/LedgerCache.h"
#include "ledger/LedgerDocument.h"
#include "ledger/StoreTally.h"

namespace quorvin::ledger {

std::filesystem::path defaultLedgerPath(const std::filesystem::path& home) { return home / ".quorvin" / "tokens.json"; }

RefreshOptions refreshOptionsFor(const std::filesystem::path& home, const LiveUsageOracle::Environment& environment) {
  RefreshOptions options;
  options.roots = LiveUsageOracle::rootsFor(home, environment);
  options.storesHome = home;
  options.ledgerPath = defaultLedgerPath(home);
  options.cachePath = cachePathFor(options.ledgerPath);
  return options;
}

std::filesystem::path cachePathFor(const std::filesystem::path& ledgerPath) {
  return ledgerPath.parent_path() / (ledgerPath.filename().string() + ".cache");
}

namespace {

// Whether any log must be read: one that is new to the cache, or whose identity, size or
// time moved since.
bool anyToRead(const std::vector<std::unique_ptr<ScannedFile>>& files) {
  for (const auto& file : files) {
    const auto now = keyOf(file->path);
    if (!now || !(*now == file->key)) return true;
  }
  return false;
}

}  // namespace

RefreshResult refreshLedger(const RefreshOptions& options) {
  std::unordered_map<std::string, std::unique_ptr<ScannedFile>> cached;
  std::optional<Cells> cachedCells;
  std::vector<StoreTally> cachedStores;
  size_t loaded = 0;
  if (!options.cachePath.empty()) {
    auto contents = LedgerCache::load(options.cachePath);
    for (auto& file : contents.files) cached[file->path] = std::move(file);
    cachedCells = std::move(contents.cells);
    cachedStores = std::move(contents.stores);
    loaded = cached.size();
  }
  std::vector<StoreTally> stores;
  if (!options.storesHome.empty()) stores = tallyStores(options.storesHome, cachedStores);

  std::vector<std::unique_ptr<ScannedFile>> files;
  for (auto& [path, source] : discoverLogs(options.roots)) {
    auto found = cached.find(path);
    if (found != cached.end() && found->second->tally.source == source) {
      files.push_back(std::move(found->second));
      cached.erase(found);
      continue;
    }
    auto file = std::make_unique<ScannedFile>();
    file->path = path;
    file->tally.source = source;
    files.push_back(std::move(file));
  }
  std::vector<ScannedFile*> work;
  std::vector<std::pair<FileKey, uint64_t>> was;
  uint64_t before = 0;
  for (auto& file : files) {
    work.push_back(file.get());
    was.emplace_back(file->key, file->tally.consumed);
    before += file->tally.consumed;
  }
  // A repeat run usually finds every log as it was: a look at each file's attributes is
  // all it costs.
  if (anyToRead(files)) scanFiles(work, options.threads, options.progress);
  // A log that is gone keeps counting: agents prune their old sessions, and the history
  // they held was still used. Only a file that still exists elsewhere in the tree is
  // dropped with the cache entry (it is no longer one of the logs).
  // A log moved within the tree is read under its new name; its old tally goes.
  std::set<std::pair<uint64_t, uint64_t>> present;
  for (ScannedFile* file : work) present.emplace(file->key.device, file->key.inode);
  for (auto& [path, file] : cached) {
    std::error_code ec;
    if (std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found) continue;
    if (present.contains({file->key.device, file->key.inode})) continue;
    files.push_back(std::move(file));
  }

  bool changed = files.size() != loaded || stores != cachedStores;
  for (size_t i = 0; i < work.size() && !changed; ++i) {
    changed = !(work[i]->key == was[i].first) || work[i]->tally.consumed != was[i].second;
  }

  RefreshResult result;
  std::vector<const LogFileTally*> tallies;
  std::vector<const ScannedFile*> kept;
  uint64_t after = 0;
  for (ScannedFile* file : work) after += file->tally.consumed;
  for (auto& file : files) {
    tallies.push_back(&file->tally);
    kept.push_back(file.get());
  }
  // Bytes read this run, roughly: files read again from the start count their whole size.
  result.bytesRead = after > before ? after - before : 0;
  result.files = files.size();
  std::error_code ec;
  const bool ledgerPresent = std::filesystem::is_regular_file(options.ledgerPath, ec);
  // Nothing new: the cells are the cache's, and the ledger on disk already says all of it;
  // rewriting it (and the cache) would cost a flush to disk on every run.
  if (!changed && cachedCells && ledgerPresent) {
    result.cells = std::move(*cachedCells);
    if (options.reportSince) {
      result.report = mergeTallies(tallies, options.reportSince);
      addStores(result.report, stores, options.reportSince);
    } else {
      result.report = result.cells;
    }
    result.written = true;
    return result;
  }
  result.cells = mergeTallies(tallies);
  addStores(result.cells, stores);
  if (options.reportSince) {
    result.report = mergeTallies(tallies, options.reportSince);
    addStores(result.report, stores, options.reportSince);
  } else {
    result.report = result.cells;
  }
  result.written = writeAtomically(options.ledgerPath, ledgerJson(result.cells, options.now));
  // The cache follows the ledger: a crash between the two only costs a re-read.
  if (result.written && !options.cachePath.empty()) LedgerCache::save(options.cachePath, kept, result.cells, stores);
  return result;
}

}  // namespace quorvin::ledger
