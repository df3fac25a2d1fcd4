#include "sources/CursorLedger.h"

#include <algorithm>
#include <boost/json.hpp>
#include <cmath>
#include <system_error>
#include <unordered_map>

#include "core/Log.h"
#include "core/SaturatingMath.h"
#include "sources/ReferenceTime.h"
#include "platform/AtomicFile.h"
#include "platform/Paths.h"
#include "platform/BoundedFileRead.h"
#include "sources/SourceText.h"

namespace quorvin::CursorLedgerFormat {

namespace json = boost::json;

std::string bucketKey(std::string_view day, std::string_view model) {
  std::string key(day);
  key.push_back('\x1F');
  key += SourceText::lowercased(model);
  return key;
}

namespace {

// a + b when both are in range and the sum stays within the bound.
std::optional<int64_t> boundedAdd(int64_t a, int64_t b) {
  if (a < 0 || b < 0 || a > kMaxCount || b > kMaxCount || a + b > kMaxCount) return std::nullopt;
  return a + b;
}

bool validCost(double cost) { return std::isfinite(cost) && cost >= 0 && cost <= kMaxCost; }

int64_t rowSum(const API::ModelRow& row) {
  return saturatingAdd(saturatingAdd(row.input, row.output), saturatingAdd(row.cacheRead, row.cacheWrite));
}

}  // namespace

std::optional<int64_t> counterSum(const CursorUsageBucket& bucket) {
  auto sum = boundedAdd(bucket.input, bucket.output);
  if (sum) sum = boundedAdd(*sum, bucket.cacheRead);
  if (sum) sum = boundedAdd(*sum, bucket.cacheWrite);
  return sum;
}

std::optional<CursorUsageSnapshot> makeSnapshot(const std::vector<const CursorUsageBucket*>& buckets,
                                                WallTime fetchedAt) {
  CursorUsageSnapshot snapshot;
  snapshot.fetchedAt = fetchedAt;
  std::unordered_map<std::string, size_t> rowOfModel;
  for (const CursorUsageBucket* bucket : buckets) {
    if (!counterSum(*bucket) || !std::isfinite(bucket->cost) || bucket->cost < 0) return std::nullopt;
    const std::string folded = SourceText::lowercased(bucket->model);
    auto [it, inserted] = rowOfModel.try_emplace(folded, snapshot.models.size());
    if (inserted) snapshot.models.push_back(API::ModelRow{.name = bucket->model});
    API::ModelRow& row = snapshot.models[it->second];
    auto input = boundedAdd(row.input, bucket->input);
    auto output = boundedAdd(row.output, bucket->output);
    auto cacheRead = boundedAdd(row.cacheRead, bucket->cacheRead);
    auto cacheWrite = boundedAdd(row.cacheWrite, bucket->cacheWrite);
    auto sumInput = boundedAdd(snapshot.input, bucket->input);
    auto sumOutput = boundedAdd(snapshot.output, bucket->output);
    auto sumCacheRead = boundedAdd(snapshot.cacheRead, bucket->cacheRead);
    auto sumCacheWrite = boundedAdd(snapshot.cacheWrite, bucket->cacheWrite);
    if (!input || !output || !cacheRead || !cacheWrite || !sumInput || !sumOutput || !sumCacheRead || !sumCacheWrite) {
      return std::nullopt;
    }
    row.input = *input;
    row.output = *output;
    row.cacheRead = *cacheRead;
    row.cacheWrite = *cacheWrite;
    row.cost += bucket->cost;
    snapshot.input = *sumInput;
    snapshot.output = *sumOutput;
    snapshot.cacheRead = *sumCacheRead;
    snapshot.cacheWrite = *sumCacheWrite;
    snapshot.cost += bucket->cost;
    if (!std::isfinite(snapshot.cost)) return std::nullopt;
  }
  auto total = boundedAdd(snapshot.input, snapshot.output);
  if (total) total = boundedAdd(*total, snapshot.cacheRead);
  if (total) total = boundedAdd(*total, snapshot.cacheWrite);
  if (!total || *total == 0) return std::nullopt;
  snapshot.total = *total;
  std::stable_sort(snapshot.models.begin(), snapshot.models.end(), [](const API::ModelRow& a, const API::ModelRow& b) {
    const int64_t sa = rowSum(a);
    const int64_t sb = rowSum(b);
    if (sa != sb) return sa > sb;
    return a.name < b.name;
  });
  return snapshot;
}

std::optional<CursorUsageSnapshot> makeSnapshot(const CursorBuckets& buckets, WallTime fetchedAt) {
  std::vector<const CursorUsageBucket*> all;
  all.reserve(buckets.size());
  for (const auto& [key, bucket] : buckets) all.push_back(&bucket);
  return makeSnapshot(all, fetchedAt);
}

CursorUsageBucket monotonic(const CursorUsageBucket& old, const CursorUsageBucket& fresh) {
  const int64_t oldSum = counterSum(old).value_or(0);
  const int64_t freshSum = counterSum(fresh).value_or(0);
  if (freshSum < oldSum) return old;
  CursorUsageBucket result = old;
  if (freshSum > oldSum) {
    result.input = fresh.input;
    result.output = fresh.output;
    result.cacheRead = fresh.cacheRead;
    result.cacheWrite = fresh.cacheWrite;
  }
  if (validCost(fresh.cost)) result.cost = std::max(old.cost, fresh.cost);
  return result;
}

CursorAccountLedger merged(CursorAccountLedger account, const CursorBuckets& exported, WallTime exportFetchedAt,
                           WallTime now) {
  for (const auto& [key, bucket] : exported) {
    auto [it, inserted] = account.buckets.try_emplace(key, bucket);
    if (!inserted) it->second = monotonic(it->second, bucket);
  }
  account.fetchedAt = std::max(account.fetchedAt, exportFetchedAt);
  account.updatedAt = now;
  return account;
}

std::string encode(const CursorLedger& ledger) {
  // Keys are inserted in sorted order (std::map order, then fixed names in order), and
  // Boost.JSON keeps insertion order: the file comes out with sorted keys.
  json::object accounts;
  for (const auto& [accountKey, account] : ledger.accounts) {
    json::object buckets;
    for (const auto& [key, b] : account.buckets) {
      json::object bucket;
      bucket["cacheRead"] = b.cacheRead;
      bucket["cacheWrite"] = b.cacheWrite;
      bucket["cost"] = b.cost;
      bucket["day"] = b.day;
      bucket["input"] = b.input;
      bucket["model"] = b.model;
      bucket["output"] = b.output;
      buckets[key] = std::move(bucket);
    }
    json::object entry;
    entry["buckets"] = std::move(buckets);
    entry["fetchedAt"] = ReferenceTime::seconds(account.fetchedAt);
    entry["updatedAt"] = ReferenceTime::seconds(account.updatedAt);
    accounts[accountKey] = std::move(entry);
  }
  json::object root;
  root["accounts"] = std::move(accounts);
  root["version"] = 1;
  return json::serialize(root);
}

namespace {

std::optional<int64_t> exactInteger(const json::value* v) {
  if (v == nullptr) return std::nullopt;
  std::error_code ec;
  const auto n = v->to_number<int64_t>(ec);
  if (ec) return std::nullopt;
  return n;
}

std::optional<double> number(const json::value* v) {
  if (v == nullptr || !v->is_number()) return std::nullopt;
  return v->to_number<double>();
}

std::optional<CursorUsageBucket> decodeBucket(std::string_view key, const json::value& value) {
  const json::object* o = value.if_object();
  if (o == nullptr) return std::nullopt;
  const json::string* day = o->contains("day") ? o->at("day").if_string() : nullptr;
  const json::string* model = o->contains("model") ? o->at("model").if_string() : nullptr;
  const auto input = exactInteger(o->if_contains("input"));
  const auto output = exactInteger(o->if_contains("output"));
  const auto cacheRead = exactInteger(o->if_contains("cacheRead"));
  const auto cacheWrite = exactInteger(o->if_contains("cacheWrite"));
  const auto cost = number(o->if_contains("cost"));
  if (!day || !model || !input || !output || !cacheRead || !cacheWrite || !cost) return std::nullopt;
  CursorUsageBucket bucket{std::string(*day), std::string(*model), *input, *output, *cacheRead, *cacheWrite, *cost};
  if (bucketKey(bucket.day, bucket.model) != key) return std::nullopt;
  if (!counterSum(bucket) || !validCost(bucket.cost)) return std::nullopt;
  return bucket;
}

}  // namespace

std::optional<CursorLedger> decode(std::string_view text) {
  std::error_code ec;
  json::value root = json::parse(json::string_view(text.data(), text.size()), ec);
  if (ec || !root.is_object()) return std::nullopt;
  const json::object& top = root.get_object();
  if (exactInteger(top.if_contains("version")) != 1) return std::nullopt;
  const json::value* accountsValue = top.if_contains("accounts");
  if (accountsValue == nullptr || !accountsValue->is_object()) return std::nullopt;

  CursorLedger ledger;
  for (const auto& [accountKey, accountValue] : accountsValue->get_object()) {
    if (accountKey.empty() || accountKey.size() > kMaxAccountKeyLength) return std::nullopt;
    const json::object* account = accountValue.if_object();
    if (account == nullptr) return std::nullopt;
    const auto fetchedAt = number(account->if_contains("fetchedAt"));
    const auto updatedAt = number(account->if_contains("updatedAt"));
    const json::value* buckets = account->if_contains("buckets");
    if (!fetchedAt || !updatedAt || buckets == nullptr || !buckets->is_object()) return std::nullopt;
    const auto fetched = ReferenceTime::time(*fetchedAt);
    const auto updated = ReferenceTime::time(*updatedAt);
    if (!fetched || !updated) return std::nullopt;
    CursorAccountLedger entry{.fetchedAt = *fetched, .updatedAt = *updated};
    for (const auto& [key, bucketValue] : buckets->get_object()) {
      auto bucket = decodeBucket(key, bucketValue);
      if (!bucket) return std::nullopt;
      entry.buckets.emplace(std::string(key), std::move(*bucket));
    }
    ledger.accounts.emplace(std::string(accountKey), std::move(entry));
  }
  return ledger;
}

CursorLedger load(const std::filesystem::path& file, WallTime now) {
  const FileRead read = readFileWithin(file, kMaxFileBytes);
  if (read.outcome == FileRead::Outcome::missing) return {};
  if (read.ok()) {
    if (auto ledger = decode(read.bytes)) return std::move(*ledger);
  }
  const std::string why = read.ok() ? "is not valid" : read.reason();
  if (auto aside = moveAside(file, now)) {
    logLine("Quorvin Cursor usage ledger " + file.string() + " " + why + "; moved it to " +
            aside->filename().string() + " and started a new one");
  } else {
    logLine("Quorvin Cursor usage ledger " + file.string() + " " + why + " and could not be moved aside");
  }
  return {};
}

bool save(const std::filesystem::path& file, const CursorLedger& ledger) {
  if (!file.parent_path().empty() && !ensurePrivateDirectory(file.parent_path())) return false;
  const std::string bytes = encode(ledger);
  if (bytes.size() > kMaxFileBytes) return false;
  return writeFileAtomically(file, bytes, 0600);
}

}  // namespace quorvin::CursorLedgerFormat
