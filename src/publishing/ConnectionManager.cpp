// The connection manager's lifecycle: construction, the published value, the cached totals
// in user defaults, launch, sleep and refresh commands, and the hooks of the side flows.
#include "publishing/ConnectionManager.h"

#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <cmath>

#include "core/Log.h"

namespace quorvin {

namespace asio = boost::asio;

namespace {

namespace key {
constexpr std::string_view login = "login";
constexpr std::string_view plan = "plan";
constexpr std::string_view disconnectRequested = "disconnect_requested";
constexpr std::string_view cursorEnabled = "quorvin_cursor_usage_enabled";
constexpr std::string_view tokens = "cached_tokens_total";
constexpr std::string_view cost = "cached_cost_total";
constexpr std::string_view liveTotal = "cached_live_total";
constexpr std::string_view appCount = "cached_app_count";
constexpr std::string_view modelCount = "cached_model_count";
constexpr std::string_view topModel = "cached_top_model";
constexpr std::string_view input = "cached_input_total";
constexpr std::string_view output = "cached_output_total";
constexpr std::string_view cacheRead = "cached_cache_read_total";
constexpr std::string_view cacheWrite = "cached_cache_write_total";
constexpr std::string_view lastSync = "cached_last_sync";
constexpr std::string_view tokenOffset = "public_token_offset";
constexpr std::string_view costOffset = "public_cost_offset";
constexpr std::string_view accountingRevision = "accounting_revision";
constexpr std::string_view cacheRevision = "local_publisher_cache_revision";
}  // namespace key

constexpr int64_t kCacheRevision = 1;

}  // namespace

// Commands from any thread, run later on the model executor.
class ConnectionManager::Posted final : public ConnectionCommands {
 public:
  explicit Posted(ConnectionManager& manager) : m_(manager) {}
  void start() override { post([](ConnectionManager& m) { m.start(); }); }
  void connect() override { post([](ConnectionManager& m) { m.connect(); }); }
  void cancelPairing() override { post([](ConnectionManager& m) { m.cancelPairing(); }); }
  void disconnect() override { post([](ConnectionManager& m) { m.disconnect(); }); }
  void retryCredentialUnlock(bool u) override { post([u](ConnectionManager& m) { m.retryCredentialUnlock(u); }); }
  void retryDisconnectCleanup() override { post([](ConnectionManager& m) { m.retryDisconnectCleanup(); }); }
  void refreshNow() override { post([](ConnectionManager& m) { m.refreshNow(); }); }
  void refreshPulse() override { post([](ConnectionManager& m) { m.refreshPulse(); }); }
  void prepareForSleep() override { post([](ConnectionManager& m) { m.prepareForSleep(); }); }
  void resumeAfterWake() override { post([](ConnectionManager& m) { m.resumeAfterWake(); }); }
  void setCursorUsageEnabled(bool e) override { post([e](ConnectionManager& m) { m.setCursorUsageEnabled(e); }); }
  void setMenuBarPopoverVisible(bool v) override {
    post([v](ConnectionManager& m) { m.setMenuBarPopoverVisible(v); });
  }
  void startPublicCandleUpdatesIfNeeded() override {
    post([](ConnectionManager& m) { m.startPublicCandleUpdatesIfNeeded(); });
  }
  void stopPublicCandleUpdates() override { post([](ConnectionManager& m) { m.stopPublicCandleUpdates(); }); }
  void openLiveProfile() override { post([](ConnectionManager& m) { m.openLiveProfile(); }); }
  void dismissPairingSuccess() override { post([](ConnectionManager& m) { m.dismissPairingSuccess(); }); }
  void openPublicProfile() override { post([](ConnectionManager& m) { m.openPublicProfile(); }); }
  void openDataSettings() override { post([](ConnectionManager& m) { m.openDataSettings(); }); }
  void startProviderQuotaUpdatesIfNeeded() override {
    post([](ConnectionManager& m) { m.startProviderQuotaUpdatesIfNeeded(); });
  }
  void stopProviderQuotaUpdates() override { post([](ConnectionManager& m) { m.stopProviderQuotaUpdates(); }); }
  void refreshSavingsAdvisor() override { post([](ConnectionManager& m) { m.refreshSavingsAdvisor(); }); }
  void configureSavings(bool e) override { post([e](ConnectionManager& m) { m.configureSavings(e); }); }
  void checkForUpdates() override { post([](ConnectionManager& m) { m.checkForUpdates(); }); }
  void openUpdate() override { post([](ConnectionManager& m) { m.openUpdate(); }); }
  void startInstallingUpdate(bool a) override { post([a](ConnectionManager& m) { m.startInstallingUpdate(a); }); }
  void noteLaunchAtLoginStatus(bool e, bool n) override {
    post([e, n](ConnectionManager& m) { m.noteLaunchAtLoginStatus(e, n); });
  }
  void noteLaunchAtLoginFailure(std::string s) override {
    post([s = std::move(s)](ConnectionManager& m) mutable { m.noteLaunchAtLoginFailure(std::move(s)); });
  }

 private:
  template <class F>
  void post(F f) {
    ConnectionManager* manager = &m_;
    asio::post(m_.services_.runtime.model(), [manager, f = std::move(f)]() mutable { f(*manager); });
  }
  ConnectionManager& m_;
};

ConnectionManager::ConnectionManager(Services services, PairingDependencies pairing, bool startPublishingOnPairing)
    : services_(std::move(services)),
      pairing_(std::move(pairing)),
      startPublishingOnPairing_(startPublishingOnPairing),
      posted_(std::make_unique<Posted>(*this)) {
  const UserDefaults& d = services_.defaults;
  state_.plan = d.string(key::plan).value_or("api");
  state_.disconnectCleanupPending = d.boolean(key::disconnectRequested).value_or(false);
  state_.cursorUsageEnabled = d.boolean(key::cursorEnabled).value_or(false);
  state_.publishedAt = services_.clock.now();
  published_ = std::make_shared<const ConnectionState>(state_);
}

ConnectionManager::~ConnectionManager() = default;

ConnectionCommands& ConnectionManager::commands() { return *posted_; }

void ConnectionManager::setCallbacks(Callbacks callbacks) { callbacks_ = std::move(callbacks); }

std::shared_ptr<const ConnectionState> ConnectionManager::snapshot() const {
  std::lock_guard lock(publishedMutex_);
  return published_;
}

void ConnectionManager::observe(Observer observer) {
  assertOnModel();
  observers_.push_back(std::move(observer));
}

ConnectionState& ConnectionManager::edit() {
  assertOnModel();
  if (!publishScheduled_) {
    publishScheduled_ = true;
    asio::post(services_.runtime.model(), [this] { publishNow(); });
  }
  return state_;
}

void ConnectionManager::publishNow() {
  publishScheduled_ = false;
  state_.publishedAt = now();
  auto value = std::make_shared<const ConnectionState>(state_);
  {
    std::lock_guard lock(publishedMutex_);
    published_ = value;
  }
  for (const auto& observer : observers_) observer(value);
}

namespace {
// Starts a body on the next turn, never inline: a body that ends at once must not clear its
// handle before the caller has stored it.
asio::awaitable<void> nextTurn(asio::awaitable<void> body) {
  auto executor = co_await asio::this_coro::executor;
  auto turn = asio::post(executor, asio::use_awaitable);
  co_await std::move(turn);
  co_await std::move(body);
}
}  // namespace

Task ConnectionManager::spawn(asio::awaitable<void> body) {
  return Task::start(services_.runtime.model(), nextTurn(std::move(body)));
}

void ConnectionManager::retire(std::optional<Task>& task) {
  if (!task) return;
  task->cancel();
  retiring_.retire(std::move(*task));
  task.reset();
}

void ConnectionManager::menuBarUpdate() {
  if (callbacks_.menuBarUpdate) callbacks_.menuBarUpdate(rules::shortTokens(state_.publicTokens()));
}

void ConnectionManager::needsAttention() {
  if (callbacks_.needsAttention) callbacks_.needsAttention();
}

void ConnectionManager::setError(std::optional<std::string> message) { edit().lastError = std::move(message); }

bool ConnectionManager::isPublishing(const std::string& token, int64_t epoch) const {
  return state_.status.is(ConnectionStatus::Kind::connected) && !state_.isDisconnecting && publishingEpoch_ == epoch &&
         deviceToken_ && *deviceToken_ == token;
}

void ConnectionManager::publishCounters(const UsageCounters& c) {
  auto& s = edit();
  s.contextInput = c.input;
  s.contextOutput = c.output;
  s.contextCacheRead = c.cacheRead;
  s.contextCacheWrite = c.cacheWrite;
}

UsageCounters ConnectionManager::publishedCounters() const {
  return {state_.contextInput, state_.contextOutput, state_.contextCacheRead, state_.contextCacheWrite};
}

std::optional<API::OptimizerStats> ConnectionManager::optimizerStats() const {
  if (sideFlows_) return sideFlows_->optimizerStats();
  return std::nullopt;
}

// ---- Launch, cache ----

void ConnectionManager::start() {
  assertOnModel();
  if (sideFlows_) sideFlows_->startUpdateChecks();
  refreshSavingsAdvisor();
  if (services_.defaults.boolean(key::disconnectRequested).value_or(false)) {
    edit().disconnectCleanupPending = true;
    beginDisconnectCleanup(false);
    return;
  }
  auto login = services_.defaults.string(key::login);
  if (!login || login->empty()) return;
  edit().login = *login;
  hydrateCachedTotals();
  retryCredentialUnlock(false);
}

void ConnectionManager::hydrateCachedTotals() {
  UserDefaults& d = services_.defaults;
  if (d.integer(key::cacheRevision) != kCacheRevision) {
    for (auto k : {key::tokens, key::cost, key::tokenOffset, key::costOffset, key::liveTotal, key::input, key::output,
                   key::cacheRead, key::cacheWrite, key::accountingRevision}) {
      d.remove(k);
    }
    d.setInteger(key::cacheRevision, kCacheRevision);
  }
  auto& s = edit();
  s.publicTokenOffset = d.integer(key::tokenOffset).value_or(0);
  s.publicCostOffset = d.number(key::costOffset).value_or(0);
  if (auto t = d.integer(key::tokens)) s.tokens = *t;
  if (auto c = d.number(key::cost)) s.cost = *c;
  menuBarUpdate();
  previousLiveTotal_.reset();
  if (auto n = d.integer(key::appCount)) s.appCount = *n;
  if (auto n = d.integer(key::modelCount)) s.modelCount = *n;
  const UsageCounters counters{d.integer(key::input).value_or(0), d.integer(key::output).value_or(0),
                               d.integer(key::cacheRead).value_or(0), d.integer(key::cacheWrite).value_or(0)};
  live_.pulseLedgerBaseCounters = counters;
  publishCounters(counters);
  s.topModel = d.string(key::topModel).value_or("");
  if (auto at = d.number(key::lastSync); at && *at > 0 && std::isfinite(*at)) {
    s.lastSync = WallTime(std::chrono::duration_cast<WallTime::duration>(std::chrono::duration<double>(*at)));
  }
  if (s.tokens >= 1) {
    rules::appendPoint(s.recentTicks, UsagePoint{rules::newUuid(), now(), s.tokens, s.tokens, s.cost, 0, counters,
                                                 contextEpoch_, false});
  }
}

void ConnectionManager::persistCachedTotals(const API::Totals& totals, int64_t liveTotal, bool includeMetadata) {
  UserDefaults& d = services_.defaults;
  d.setInteger(key::tokens, totals.total);
  d.setNumber(key::cost, totals.cost);
  d.setInteger(key::liveTotal, liveTotal);
  if (includeMetadata) {
    d.setInteger(key::appCount, static_cast<int64_t>(totals.agents.size()));
    d.setInteger(key::modelCount, static_cast<int64_t>(totals.models.size()));
    d.setString(key::topModel, totals.models.empty() ? std::string() : totals.models.front().name);
  }
  if (totals.input) d.setInteger(key::input, *totals.input);
  if (totals.output) d.setInteger(key::output, *totals.output);
  if (totals.cacheRead) d.setInteger(key::cacheRead, *totals.cacheRead);
  if (totals.cacheWrite) d.setInteger(key::cacheWrite, *totals.cacheWrite);
  d.setNumber(key::lastSync, std::chrono::duration<double>(now().time_since_epoch()).count());
  // What was just written has the current layout. Without this, a machine that paired and
  // never restarted would lose its cached totals (and show a lower total) at its next launch.
  d.setInteger(key::cacheRevision, kCacheRevision);
}

void ConnectionManager::clearCachedTotals() {
  for (auto k : {key::tokens, key::cost, key::tokenOffset, key::costOffset, key::liveTotal, key::appCount,
                 key::modelCount, key::topModel, key::lastSync, key::input, key::output, key::cacheRead,
                 key::cacheWrite, key::accountingRevision, key::cacheRevision}) {
    services_.defaults.remove(k);
  }
}

// ---- Stopping, sleep, refresh ----

void ConnectionManager::retirePublishingJobs() {
  ++publishingEpoch_;
  retire(streamTask_);
  retire(reconcileTask_);
  ++manualReconcileAttempt_;
  retire(manualReconcileTask_);
  ++manualPulseAttempt_;
  retire(manualPulseTask_);
  ++pulseUploadAttempt_;
  retire(pulseUploadTask_);
  pendingPulseUpload_.reset();
  stopPublicCandleUpdates();
  stopProviderQuotaUpdates();
}

void ConnectionManager::stopPublishing() {
  assertOnModel();
  retirePublishingJobs();
  deviceToken_.reset();
  auto& s = edit();
  s.isUnlockingCredential = false;
  s.isProbingCredential = false;
  s.pairingURL.reset();
  s.pairingSuccessHandle.reset();
  s.profileOpenError.reset();
  s.status = ConnectionStatus::disconnected();
}

void ConnectionManager::prepareForSleep() {
  assertOnModel();
  // A savings configuration in progress says it was paused; the update checks stop too and
  // start again on wake.
  if (sideFlows_) sideFlows_->prepareForSleep();
  retirePublishingJobs();
  services_.defaults.flush();
}

void ConnectionManager::resumeAfterWake() {
  assertOnModel();
  refreshSavingsAdvisor();
  if (sideFlows_) sideFlows_->startUpdateChecks();
  if (state_.status.is(ConnectionStatus::Kind::connected) && deviceToken_ && !state_.isDisconnecting) startStreaming();
}

void ConnectionManager::refreshNow() {
  assertOnModel();
  switch (state_.status.kind) {
    case ConnectionStatus::Kind::disconnected:
      connect();
      return;
    case ConnectionStatus::Kind::pairing:
      return;
    case ConnectionStatus::Kind::connected:
      break;
  }
  if (menuBarPopoverVisible_) startProviderQuotaUpdatesIfNeeded();
  if (state_.isReconciling) return;
  const uint64_t attempt = ++manualReconcileAttempt_;
  retire(manualReconcileTask_);
  manualReconcileTask_ = spawn(manualReconcile(attempt, publishingEpoch_));
}

void ConnectionManager::refreshPulse() {
  assertOnModel();
  if (!state_.status.is(ConnectionStatus::Kind::connected)) return;
  const uint64_t attempt = ++manualPulseAttempt_;
  retire(manualPulseTask_);
  manualPulseTask_ = spawn(manualPulse(attempt, publishingEpoch_));
}

void ConnectionManager::setMenuBarPopoverVisible(bool visible) {
  assertOnModel();
  const bool opened = visible && !menuBarPopoverVisible_;
  menuBarPopoverVisible_ = visible;
  if (opened) {
    refreshSavingsAdvisor();
    startProviderQuotaUpdatesIfNeeded();
  } else if (!visible) {
    stopProviderQuotaUpdates();
  }
}

void ConnectionManager::cancelAll() {
  assertOnModel();
  // Views may be gone by now: nobody hears from a manager that is shutting down.
  observers_.clear();
  ++pairingAttempt_;
  ++credentialUnlockAttempt_;
  retirePublishingJobs();
  for (auto* task : {&pairingTask_, &credentialUnlockTask_, &disconnectCleanupTask_, &revocationCleanupTask_,
                     &cursorToggleTask_}) {
    retire(*task);
  }
  for (auto& helper : helpers_) helper.cancel();
  if (sideFlows_) sideFlows_->cancelAll();
}

bool ConnectionManager::allTasksEnded() const {
  for (const auto* task : {&streamTask_, &reconcileTask_, &pairingTask_, &credentialUnlockTask_,
                           &disconnectCleanupTask_, &manualReconcileTask_, &manualPulseTask_, &pulseUploadTask_,
                           &publicCandleTask_, &revocationCleanupTask_, &cursorToggleTask_}) {
    if (*task && !(*task)->ended()) return false;
  }
  for (const auto& helper : helpers_) {
    if (!helper.ended()) return false;
  }
  if (sideFlows_ && !sideFlows_->allTasksEnded()) return false;
  return const_cast<RetiredTasks&>(retiring_).size() == 0 && !publishScheduled_;
}

asio::awaitable<void> ConnectionManager::waitForPublishingTasks() {
  std::vector<Task> current;
  for (auto* task : {&streamTask_, &reconcileTask_, &manualReconcileTask_, &manualPulseTask_, &pulseUploadTask_}) {
    if (*task) current.push_back(**task);
  }
  for (const auto& task : current) {
    auto ended = task.wait();
    co_await std::move(ended);
  }
  auto retired = retiring_.waitAll();
  co_await std::move(retired);
}

// ---- The side flows: the manager forwards, they publish back ----

void ConnectionManager::setSavingsFigures(SavingsFigures figures) {
  if (state_.savingsSnapshot != figures) edit().savingsSnapshot = figures;
}
void ConnectionManager::setSavingsStatus(std::optional<std::string> status, bool configuring) {
  if (state_.savingsStatus == status && state_.isConfiguringSavings == configuring) return;
  auto& s = edit();
  s.savingsStatus = std::move(status);
  s.isConfiguringSavings = configuring;
}
void ConnectionManager::setProviderQuotas(std::vector<ProviderQuotaSnapshot> quotas) {
  if (state_.providerQuotas != quotas) edit().providerQuotas = std::move(quotas);
}
void ConnectionManager::setUpdateState(std::optional<std::string> version, std::optional<std::string> status,
                                       bool updating) {
  if (state_.updateVersion == version && state_.updateStatus == status && state_.isUpdating == updating) return;
  auto& s = edit();
  s.updateVersion = std::move(version);
  s.updateStatus = std::move(status);
  s.isUpdating = updating;
}
void ConnectionManager::startProviderQuotaUpdatesIfNeeded() {
  assertOnModel();
  if (sideFlows_) sideFlows_->startProviderQuotaUpdatesIfNeeded();
}
void ConnectionManager::stopProviderQuotaUpdates() {
  assertOnModel();
  if (sideFlows_) sideFlows_->stopProviderQuotaUpdates();
}
void ConnectionManager::refreshSavingsAdvisor() {
  assertOnModel();
  if (sideFlows_) sideFlows_->refreshSavingsAdvisor();
}
void ConnectionManager::configureSavings(bool enabled) {
  assertOnModel();
  if (sideFlows_) sideFlows_->configureSavings(enabled);
}
void ConnectionManager::checkForUpdates() {
  assertOnModel();
  if (sideFlows_) sideFlows_->checkForUpdates();
}
void ConnectionManager::openUpdate() {
  assertOnModel();
  if (sideFlows_) sideFlows_->openUpdate();
}
void ConnectionManager::startInstallingUpdate(bool automatic) {
  assertOnModel();
  if (sideFlows_) sideFlows_->startInstallingUpdate(automatic);
}

void ConnectionManager::noteLaunchAtLoginStatus(bool enabled, bool needsApproval) {
  auto& s = edit();
  s.launchAtLoginEnabled = enabled;
  s.launchAtLoginNeedsApproval = needsApproval;
  s.launchAtLoginError.reset();
}

void ConnectionManager::noteLaunchAtLoginFailure(std::string message) {
  edit().launchAtLoginError = std::move(message);
}

}  // namespace quorvin
