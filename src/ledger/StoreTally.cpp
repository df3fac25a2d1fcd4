#include "ledger/StoreTally.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <unordered_map>

#include "usage/StoreRecords.h"
#include "usage/StructuredUsageReader.h"

namespace quorvin::ledger {

namespace {

using Record = StoreRecords::Record;

Day dayOfKey(const FileKey& key) { return localDay(key.modifiedNs / 1'000'000'000); }

// The store's records now; none when it cannot be read whole.
using ReadRecords = std::function<std::optional<std::vector<Record>>(const std::string&)>;

std::optional<std::vector<Record>> droidRecords(const std::string& path) {
  auto record = StoreRecords::droid(path);
  if (!record) return std::nullopt;
  return std::vector<Record>{std::move(*record)};
}

}  // namespace

std::vector<StoreTally> tallyStores(const std::filesystem::path& home, std::vector<StoreTally> cached) {
  std::unordered_map<std::string, StoreTally*> known;
  for (auto& store : cached) known[store.path] = &store;
  std::vector<StoreTally> stores;
  const auto visit = [&](const std::vector<std::string>& paths, const char* agent, const ReadRecords& read) {
    for (const auto& path : paths) {
      const auto key = keyOf(path);
      if (!key) continue;
      const FileKey walKey = keyOf(path + "-wal").value_or(FileKey{});
      auto found = known.find(path);
      StoreTally* before = found == known.end() || found->second->agent != agent ? nullptr : found->second;
      if (found != known.end()) known.erase(found);
      if (before && before->key == *key && before->walKey == walKey) {
        stores.push_back(std::move(*before));
        continue;
      }
      auto records = read(path);
      if (!records) {
        if (before) stores.push_back(std::move(*before));
        continue;
      }
      StoreTally store{path, agent, *key, walKey, {}};
      // Records without a time of their own are put on the day the store last changed.
      const Day changed = std::max(dayOfKey(*key), walKey.modifiedNs != 0 ? dayOfKey(walKey) : dayOfKey(*key));
      for (const auto& record : *records) {
        const Day day = record.updatedAt > 0 ? localDay(record.updatedAt / 1000) : changed;
        store.sums[DayModel{day, record.model.value_or(std::string())}] += record.counters;
      }
      stores.push_back(std::move(store));
    }
  };
  visit(StructuredUsageReader::openCodeDatabases(home), "opencode", &StoreRecords::openCode);
  visit(StructuredUsageReader::hermesDatabases(home), "hermes", &StoreRecords::hermes);
  visit(StructuredUsageReader::droidSettingsFiles(home), "droid", &droidRecords);
  for (auto& [path, store] : known) {
    std::error_code ec;
    if (std::filesystem::symlink_status(path, ec).type() == std::filesystem::file_type::not_found) {
      stores.push_back(std::move(*store));
    }
  }
  std::sort(stores.begin(), stores.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
  return stores;
}

void addStores(Cells& cells, const std::vector<StoreTally>& stores, std::optional<Day> since) {
  for (const auto& store : stores) {
    for (const auto& [key, counters] : store.sums) {
      if (since && key.day < *since) continue;
      cells[{monthOf(key.day), store.agent, key.model}] += counters;
    }
  }
}

}  // namespace quorvin::ledger
