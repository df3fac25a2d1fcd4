#include "ledger/LedgerRefresh.h"

#include <memory>
#include <unordered_map>

#include "ledger/LedgerDocument.h"

namespace quorvin::ledger {

std::filesystem::path defaultLedgerPath(const std::filesystem::path& home) { return home / ".quorvin" / "tokens.json"; }

std::filesystem::path cachePathFor(const std::filesystem::path& ledgerPath) {
  return ledgerPath.parent_path() / (ledgerPath.filename().string() + ".cache");
}

RefreshResult refreshLedger(const RefreshOptions& options) {
  std::vector<std::unique_ptr<ScannedFile>> files;
  for (auto& [path, source] : discoverLogs(options.roots)) {
    auto file = std::make_unique<ScannedFile>();
    file->path = path;
    file->tally.source = source;
    files.push_back(std::move(file));
  }

  std::vector<ScannedFile*> work;
  for (auto& file : files) work.push_back(file.get());
  uint64_t before = 0;
  for (auto* file : work) before += file->tally.consumed;
  scanFiles(work, options.threads, options.progress);

  RefreshResult result;
  std::vector<const LogFileTally*> tallies;
  for (auto& file : files) {
    tallies.push_back(&file->tally);
    result.bytesRead += file->tally.consumed;
  }
  result.bytesRead -= std::min(result.bytesRead, before);
  result.files = files.size();
  result.cells = mergeTallies(tallies);
  result.report = options.reportSince ? mergeTallies(tallies, options.reportSince) : result.cells;
  result.written = writeAtomically(options.ledgerPath, ledgerJson(result.cells, options.now));
  return result;
}

}  // namespace quorvin::ledger
