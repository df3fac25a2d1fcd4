#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Time.h"
#include "wire/UsageTotals.h"

namespace quorvin {

// One day and one model of one Cursor account. Counters never negative.
struct CursorUsageBucket {
  std::string day;    // YYYY-MM-DD as the export writes it
  std::string model;  // displayed name
  int64_t input = 0;  // input without cache writes
  int64_t output = 0;
  int64_t cacheRead = 0;
  int64_t cacheWrite = 0;
  double cost = 0;
  bool operator==(const CursorUsageBucket&) const = default;
};

using CursorBuckets = std::map<std::string, CursorUsageBucket>;

struct CursorAccountLedger {
  CursorBuckets buckets;
  WallTime fetchedAt = WallTime::min();  // newest export merged
  WallTime updatedAt = WallTime::min();  // last merge
  bool operator==(const CursorAccountLedger&) const = default;
};

// The persistent history of every Cursor account seen on this machine, keyed by the
// SHA-256 of the account subject.
struct CursorLedger {
  std::map<std::string, CursorAccountLedger> accounts;
  bool operator==(const CursorLedger&) const = default;
};

struct CursorUsageSnapshot {
  int64_t total = 0;
  double cost = 0;
  int64_t input = 0;
  int64_t output = 0;
  int64_t cacheRead = 0;
  int64_t cacheWrite = 0;
  std::vector<API::ModelRow> models;
  WallTime fetchedAt = WallTime::min();
  bool operator==(const CursorUsageSnapshot&) const = default;
};

namespace CursorLedgerFormat {

inline constexpr int64_t kMaxCount = 9'000'000'000'000'000;
inline constexpr double kMaxCost = 1'000'000'000.0;
inline constexpr size_t kMaxFileBytes = 52'428'800;
inline constexpr size_t kMaxAccountKeyLength = 128;
inline constexpr std::string_view kFileName = "cursor-usage-v1.json";

// day + U+001F + lower-cased model.
std::string bucketKey(std::string_view day, std::string_view model);

// Sum of the four counters, or nothing when one is negative or a running sum passes the bound.
std::optional<int64_t> counterSum(const CursorUsageBucket& bucket);

// Per-model rows and totals of the given buckets; nothing when a value is out of bounds
// or the total is 0.
std::optional<CursorUsageSnapshot> makeSnapshot(const std::vector<const CursorUsageBucket*>& buckets,
                                                WallTime fetchedAt);
std::optional<CursorUsageSnapshot> makeSnapshot(const CursorBuckets& buckets, WallTime fetchedAt);

// A bucket reported again keeps its larger counters: the vendor's window moves on and
// a later export may show less of a day than an earlier one did.
CursorUsageBucket monotonic(const CursorUsageBucket& old, const CursorUsageBucket& fresh);

// Merges an export into one account's ledger; returns the updated account.
CursorAccountLedger merged(CursorAccountLedger account, const CursorBuckets& exported, WallTime exportFetchedAt,
                           WallTime now);

// The file: {"accounts":{...},"version":1}, sorted keys, reference-date times.
std::string encode(const CursorLedger& ledger);
// Nothing unless every account and bucket is valid: one bad entry discards all.
std::optional<CursorLedger> decode(std::string_view json);

// Empty ledger for a missing, oversized, unreadable or invalid file. A file that is there
// but cannot be used is first moved aside ("<file>.corrupt-<time of now>"): the next save
// would otherwise overwrite the history it may still hold.
CursorLedger load(const std::filesystem::path& file, WallTime now);
// Creates the folder (0700), writes atomically (0600); a ledger over the bound is not written.
bool save(const std::filesystem::path& file, const CursorLedger& ledger);

}  // namespace CursorLedgerFormat

}  // namespace quorvin
