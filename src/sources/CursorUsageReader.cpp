#include "sources/CursorUsageReader.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "core/Log.h"
#include "platform/AwaitOn.h"

namespace quorvin {

namespace {

constexpr auto kAfterStart = std::chrono::seconds(60);
constexpr auto kAfterFailure = std::chrono::seconds(30);
constexpr auto kFreshFor = std::chrono::seconds(90);

WallTime later(WallTime now, std::chrono::seconds by) {
  return now > WallTime::max() - by ? WallTime::max() : now + by;
}

int64_t growth(int64_t value, int64_t baseline) { return value > baseline ? value - baseline : 0; }

}  // namespace

CursorUsageReader::CursorUsageReader(Config config, const Clock& clock, UserDefaults& defaults, HttpClient& http,
                                     BlockingPool& pool)
    : config_(std::move(config)),
      clock_(clock),
      defaults_(defaults),
      http_(http),
      pool_(pool),
      strand_(pool.makeStrand()),
      ledger_(CursorLedgerFormat::load(config_.ledgerFile, clock.now())) {
  rebuildCache();
  // Everything already in the ledger is history: live values start at 0 after launch.
  if (cached_) {
    baselines_ = Baselines{cached_->total, cached_->cost, cached_->input, cached_->output, cached_->cacheRead,
                           cached_->cacheWrite};
  }
}

CursorUsageReader::~CursorUsageReader() { refreshTask_.cancel(); }

bool CursorUsageReader::enabled() const { return defaults_.boolean(kEnabledKey).value_or(false); }

bool CursorUsageReader::refreshRunning() const { return refreshTask_.valid() && !refreshTask_.ended(); }

boost::asio::awaitable<CursorUsageReader::Reading> CursorUsageReader::reading(bool refreshIfDue, WallTime now) {
  // Named before the co_await: GCC 12 destroys temporaries of a co_await expression twice.
  auto onStrand = awaitOn(strand_, readingOnStrand(refreshIfDue, now));
  co_return co_await std::move(onStrand);
}

boost::asio::awaitable<CursorUsageReader::Reading> CursorUsageReader::refreshedReading(WallTime now) {
  (void)now;  // the answer is stamped when the refresh has ended
  auto onStrand = awaitOn(strand_, refreshedReadingOnStrand());
  co_return co_await std::move(onStrand);
}

boost::asio::awaitable<void> CursorUsageReader::preferenceDidChange() {
  auto onStrand = awaitOn(strand_, preferenceDidChangeOnStrand());
  co_await std::move(onStrand);
}

boost::asio::awaitable<void> CursorUsageReader::clearLedger() {
  auto onStrand = awaitOn(strand_, clearLedgerOnStrand());
  co_await std::move(onStrand);
}

boost::asio::awaitable<CursorUsageReader::Reading> CursorUsageReader::readingOnStrand(bool refreshIfDue, WallTime now) {
  if (refreshIfDue && enabled() && !refreshRunning() && now >= nextRefreshAt_) startRefresh(now);
  co_return currentReading(now);
}

boost::asio::awaitable<CursorUsageReader::Reading> CursorUsageReader::refreshedReadingOnStrand() {
  if (enabled() && !refreshRunning()) startRefresh(clock_.now());
  if (refreshRunning()) {
    const Task running = refreshTask_;
    auto ended = running.wait();
    co_await std::move(ended);
  }
  co_return currentReading(clock_.now());
}

boost::asio::awaitable<void> CursorUsageReader::preferenceDidChangeOnStrand() {
  ++preferenceGeneration_;
  if (!enabled()) {
    refreshTask_.cancel();
    refreshTask_ = Task();
    lastFailure_.reset();
  }
  nextRefreshAt_ = WallTime::min();
  co_return;
}

boost::asio::awaitable<void> CursorUsageReader::clearLedgerOnStrand() {
  ++preferenceGeneration_;
  refreshTask_.cancel();
  refreshTask_ = Task();
  ledger_ = CursorLedger{};
  cached_.reset();
  activeAccountKey_.reset();
  activeFetchedAt_.reset();
  lastFailure_.reset();
  nextRefreshAt_ = WallTime::min();
  baselines_ = Baselines{};
  sessionSeededAccounts_.clear();
  std::error_code ec;
  if (std::filesystem::exists(config_.ledgerFile, ec)) std::filesystem::remove(config_.ledgerFile);
  co_return;
}

void CursorUsageReader::startRefresh(WallTime now) {
  if (!enabled()) return;
  auto credentials = CursorCredentials::credentials(config_.cursorFiles);
  if (!credentials) {
    std::error_code ec;
    // Signed out of an installed editor; without the editor there is nothing to say.
    if (std::filesystem::exists(config_.cursorFiles.stateDatabase, ec)) lastFailure_ = Failure::authentication;
    nextRefreshAt_ = later(now, kAfterFailure);
    return;
  }
  activateAccount(credentials->accountKey);
  nextRefreshAt_ = later(now, kAfterStart);
  refreshTask_ = Task::start(strand_, refresh(preferenceGeneration_, std::move(*credentials)));
}

boost::asio::awaitable<void> CursorUsageReader::refresh(uint64_t generation,
                                                        CursorCredentials::Credentials credentials) {
  CursorExport::RefreshResult result;
  try {
    auto fetching = CursorExport::fetchExport(http_, clock_, pool_, config_.baseUrl, std::move(credentials));
    result = co_await std::move(fetching);
  } catch (const boost::system::system_error&) {
    co_return;  // cancelled: a preference change or a clear dropped this refresh
  }
  finishRefresh(std::move(result), generation);
}

void CursorUsageReader::finishRefresh(CursorExport::RefreshResult result, uint64_t generation) {
  if (generation != preferenceGeneration_ || !enabled()) return;
  refreshTask_ = Task();
  const WallTime now = clock_.now();
  if (const auto* failure = std::get_if<Failure>(&result.outcome)) {
    activateAccount(result.accountKey);
    lastFailure_ = *failure;
    nextRefreshAt_ = later(now, kAfterFailure);
    return;
  }
  const auto& exported = std::get<CursorExport::ParsedExport>(result.outcome);
  merge(exported, result.accountKey);
  activeAccountKey_ = result.accountKey;
  activeFetchedAt_ = exported.fetchedAt;
  lastFailure_.reset();
  nextRefreshAt_ = later(now, kAfterStart);
}

void CursorUsageReader::activateAccount(const std::string& accountKey) {
  activeAccountKey_ = accountKey;
  const auto it = ledger_.accounts.find(accountKey);
  if (it != ledger_.accounts.end()) {
    activeFetchedAt_ = it->second.fetchedAt;
  } else {
    activeFetchedAt_.reset();
  }
  rebuildCache();
}

void CursorUsageReader::rebuildCache() {
  // Every account counts: two Cursor sign-ins on one machine are both this machine's usage.
  std::vector<const CursorUsageBucket*> all;
  WallTime latest = WallTime::min();
  for (const auto& [key, account] : ledger_.accounts) {
    latest = std::max(latest, account.fetchedAt);
    for (const auto& [bucketKey, bucket] : account.buckets) all.push_back(&bucket);
  }
  cached_ = CursorLedgerFormat::makeSnapshot(all, activeFetchedAt_.value_or(latest));
}

void CursorUsageReader::merge(const CursorExport::ParsedExport& exported, const std::string& accountKey) {
  const Snapshot before = cached_.value_or(Snapshot{});
  CursorAccountLedger account;
  if (auto it = ledger_.accounts.find(accountKey); it != ledger_.accounts.end()) account = it->second;
  account = CursorLedgerFormat::merged(std::move(account), exported.buckets, exported.fetchedAt, clock_.now());
  activeAccountKey_ = accountKey;
  activeFetchedAt_ = account.fetchedAt;
  ledger_.accounts[accountKey] = std::move(account);
  rebuildCache();

  // History that appears when an account is first seen in this process is not live usage.
  if (sessionSeededAccounts_.insert(accountKey).second) {
    const Snapshot after = cached_.value_or(Snapshot{});
    baselines_.total += growth(after.total, before.total);
    baselines_.cost += std::max(0.0, after.cost - before.cost);
    baselines_.input += growth(after.input, before.input);
    baselines_.output += growth(after.output, before.output);
    baselines_.cacheRead += growth(after.cacheRead, before.cacheRead);
    baselines_.cacheWrite += growth(after.cacheWrite, before.cacheWrite);
  }
  if (!CursorLedgerFormat::save(config_.ledgerFile, ledger_)) logLine("Quorvin could not save the Cursor usage ledger");
}

CursorUsageReader::Reading CursorUsageReader::currentReading(WallTime now) const {
  Reading reading;
  reading.snapshot = cached_;
  const Snapshot values = cached_.value_or(Snapshot{});
  reading.liveTotal = growth(values.total, baselines_.total);
  reading.liveCost = std::max(0.0, values.cost - baselines_.cost);
  reading.liveInput = growth(values.input, baselines_.input);
  reading.liveOutput = growth(values.output, baselines_.output);
  reading.liveCacheRead = growth(values.cacheRead, baselines_.cacheRead);
  reading.liveCacheWrite = growth(values.cacheWrite, baselines_.cacheWrite);
  if (!enabled()) return reading;
  if (lastFailure_ == Failure::authentication) {
    reading.warning = std::string(kSignInExpired);
    return reading;
  }
  if (activeFetchedAt_ && *activeFetchedAt_ != WallTime::min() && now >= *activeFetchedAt_ &&
      now - *activeFetchedAt_ <= kFreshFor) {
    reading.isFresh = true;
    return reading;
  }
  if (refreshRunning()) return reading;
  if (!activeAccountKey_) {
    std::error_code ec;
    if (std::filesystem::exists(config_.cursorFiles.stateDatabase, ec)) reading.warning = std::string(kUnavailable);
    return reading;
  }
  reading.warning = std::string(kStale);
  return reading;
}

}  // namespace quorvin
