#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/strand.hpp>
#include <chrono>
#include <filesystem>
#include <optional>
#include <set>
#include <string>

#include "core/Clock.h"
#include "platform/BlockingPool.h"
#include "platform/HttpClient.h"
#include "platform/Task.h"
#include "platform/UserDefaults.h"
#include "sources/CursorCredentials.h"
#include "sources/CursorExport.h"
#include "sources/CursorLedger.h"
#include "sources/CursorUsageReading.h"

namespace quorvin {

// Cursor keeps no local token log: its usage comes from the vendor's CSV export, fetched
// with the editor's own sign-in when the user opted in. The reader decides when to fetch,
// keeps a never-shrinking per-account ledger of daily per-model buckets so history
// survives the export window moving on, and reports the usage added since launch as the
// live values. All state lives on its own strand.
class CursorUsageReader {
 public:
  using Snapshot = CursorUsageSnapshot;
  using Failure = CursorExport::Failure;

  static constexpr std::string_view kEnabledKey = "quorvin_cursor_usage_enabled";
  static constexpr std::string_view kSignInExpired =
      "Cursor sign-in expired. Sign in to Cursor again to resume its usage feed.";
  static constexpr std::string_view kUnavailable = "Cursor usage is unavailable. Retrying automatically.";
  static constexpr std::string_view kStale = "Cursor usage is stale. Retrying Cursor automatically.";

  using Reading = CursorUsageReading;

  struct Config {
    std::filesystem::path ledgerFile;             // <data folder>/cursor-usage-v1.json
    CursorCredentials::Locations cursorFiles;     // where the editor keeps its sign-in
    std::string baseUrl{CursorExport::kVendorBaseUrl};
  };

  // Loads the ledger at once (blocking, bounded at 50 MiB).
  CursorUsageReader(Config config, const Clock& clock, UserDefaults& defaults, HttpClient& http, BlockingPool& pool);
  ~CursorUsageReader();
  CursorUsageReader(const CursorUsageReader&) = delete;
  CursorUsageReader& operator=(const CursorUsageReader&) = delete;

  // For the frequent pulse: starts a refresh when one is due, never waits for it.
  boost::asio::awaitable<Reading> reading(bool refreshIfDue, WallTime now);
  // For authoritative totals: refreshes now (or joins the running refresh) and waits.
  boost::asio::awaitable<Reading> refreshedReading(WallTime now);
  // The user toggled the feature.
  boost::asio::awaitable<void> preferenceDidChange();
  // Forgets all Cursor history; a file that cannot be removed throws std::filesystem::filesystem_error.
  boost::asio::awaitable<void> clearLedger();

  static bool hasStoredPreference(const UserDefaults& defaults) { return defaults.contains(kEnabledKey); }

 private:
  struct Baselines {
    int64_t total = 0;
    double cost = 0;
    int64_t input = 0;
    int64_t output = 0;
    int64_t cacheRead = 0;
    int64_t cacheWrite = 0;
  };

  bool enabled() const;
  bool refreshRunning() const;
  void startRefresh(WallTime now);
  boost::asio::awaitable<void> refresh(uint64_t generation, CursorCredentials::Credentials credentials);
  void finishRefresh(CursorExport::RefreshResult result, uint64_t generation);
  void activateAccount(const std::string& accountKey);
  void rebuildCache();
  void merge(const CursorExport::ParsedExport& exported, const std::string& accountKey);
  Reading currentReading(WallTime now) const;

  boost::asio::awaitable<Reading> readingOnStrand(bool refreshIfDue, WallTime now);
  boost::asio::awaitable<Reading> refreshedReadingOnStrand();
  boost::asio::awaitable<void> preferenceDidChangeOnStrand();
  boost::asio::awaitable<void> clearLedgerOnStrand();

  const Config config_;
  const Clock& clock_;
  UserDefaults& defaults_;
  HttpClient& http_;
  BlockingPool& pool_;
  boost::asio::strand<TrackedExecutor> strand_;

  CursorLedger ledger_;
  std::optional<Snapshot> cached_;
  std::optional<std::string> activeAccountKey_;
  std::optional<WallTime> activeFetchedAt_;
  std::optional<Failure> lastFailure_;
  Task refreshTask_;
  WallTime nextRefreshAt_ = WallTime::min();
  uint64_t preferenceGeneration_ = 0;
  Baselines baselines_;
  std::set<std::string> sessionSeededAccounts_;
};

}  // namespace quorvin
