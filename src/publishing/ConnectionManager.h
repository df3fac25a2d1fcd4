#pragma once

#include <boost/asio/awaitable.hpp>
#include <cassert>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Browser.h"
#include "platform/HttpClient.h"
#include "platform/Runtime.h"
#include "platform/RuntimeClock.h"
#include "platform/Task.h"
#include "platform/UserDefaults.h"
#include "publishing/Api.h"
#include "publishing/AsyncCredentialStore.h"
#include "publishing/AsyncSerialGate.h"
#include "publishing/ConnectionRules.h"
#include "publishing/ConnectionState.h"
#include "publishing/OracleClient.h"
#include "publishing/RealtimeCostTracker.h"
#include "publishing/SideFlows.h"
#include "publishing/UsageFeed.h"

namespace quorvin {

// The seams of the pairing flow; live() wires the service, the browser, real sleeps and the
// credential store.
struct PairingDependencies {
  std::function<boost::asio::awaitable<API::Pair>(std::string api)> create;
  std::function<void(const std::string& url)> openApproval;
  std::function<bool(const std::string& url)> openProfile;
  std::function<boost::asio::awaitable<void>()> waitForPoll;
  std::function<boost::asio::awaitable<std::optional<API::Approved>>(std::string api, std::string code,
                                                                     std::string deviceSecret)>
      poll;
  // Throws StoreError cancelled when the generation moved on.
  std::function<boost::asio::awaitable<void>(std::string token, int64_t generation)> save;

  static PairingDependencies live(HttpClient& http, RuntimeClock& clock, Browser* browser,
                                  AsyncCredentialStore& credentials);
};

// The application's one model: pairing, the device token in memory, the displayed totals,
// the live history, and every long-running publishing task. Lives on the runtime's model
// executor: every member function must be called there (asserted in debug builds). Views
// read the published ConnectionState and post commands through commands().
//
// Source files by concern: ConnectionManager.cpp (lifecycle, cache, publication),
// ConnectionManagerStreaming.cpp, ConnectionManagerUploads.cpp (queue, reconciliation,
// oracle), ConnectionManagerPairing.cpp (pairing, unlock, disconnect, revocation),
// ConnectionManagerCandles.cpp.
class ConnectionManager final : public ConnectionCommands {
 public:
  struct Services {
    Runtime& runtime;
    RuntimeClock& clock;
    HttpClient& http;
    UserDefaults& defaults;
    AsyncCredentialStore& credentials;
    UsageFeed& usage;
    OracleClient* oracle = nullptr;  // none: no checkpoints
    Browser* browser = nullptr;      // none: pages are not opened
    std::string api;                 // service base URL, no trailing slash
    API::Publisher publisher;
  };

  // Set by the shell; all called on the model executor.
  struct Callbacks {
    std::function<void(const std::string&)> menuBarUpdate;
    std::function<void()> needsAttention;
    std::function<void()> interactivePairingCompleted;
    // Whether a keyring prompt may be shown; unset means no way to ask (declined).
    std::function<boost::asio::awaitable<bool>(CredentialApprovalPurpose)> requestCredentialApproval;
  };

  ConnectionManager(Services services, PairingDependencies pairing, bool startPublishingOnPairing = true);
  ~ConnectionManager() override;
  ConnectionManager(const ConnectionManager&) = delete;
  ConnectionManager& operator=(const ConnectionManager&) = delete;

  void setCallbacks(Callbacks callbacks);
  // The quota, savings and update flows; without them their commands do nothing. Set once,
  // before start(); the flows must outlive the manager's use of them (see cancelAll()).
  void setSideFlows(SideFlows* flows) { sideFlows_ = flows; }

  // The published value: replaced once per model turn in which something changed. Safe to
  // call from any thread.
  std::shared_ptr<const ConnectionState> snapshot() const;
  // Called on the model executor once per turn with the new value. Views on other threads
  // copy the pointer and hop to their own thread.
  using Observer = std::function<void(const std::shared_ptr<const ConnectionState>&)>;
  void observe(Observer observer);
  // Commands that may be called from any thread; each is posted to the model executor.
  ConnectionCommands& commands();

  // The model's own view of the state, current within the turn. Model executor only.
  const ConnectionState& state() const { assertOnModel(); return state_; }

  // ConnectionCommands, on the model executor.
  void start() override;
  void connect() override;
  void cancelPairing() override;
  void disconnect() override;
  void retryCredentialUnlock(bool userInitiated) override;
  void retryDisconnectCleanup() override;
  void refreshNow() override;
  void refreshPulse() override;
  void prepareForSleep() override;
  void resumeAfterWake() override;
  void setCursorUsageEnabled(bool enabled) override;
  void setMenuBarPopoverVisible(bool visible) override;
  void startPublicCandleUpdatesIfNeeded() override;
  void stopPublicCandleUpdates() override;
  void openLiveProfile() override;
  void dismissPairingSuccess() override;
  void openPublicProfile() override;
  void openDataSettings() override;
  void startProviderQuotaUpdatesIfNeeded() override;
  void stopProviderQuotaUpdates() override;
  void refreshSavingsAdvisor() override;
  void configureSavings(bool enabled) override;
  void checkForUpdates() override;
  void openUpdate() override;
  void startInstallingUpdate(bool automatic) override;
  void noteLaunchAtLoginStatus(bool enabled, bool needsApproval) override;
  void noteLaunchAtLoginFailure(std::string message) override;

  void beginDisconnectCleanup(bool allowInteraction);
  // Stops every publishing task (the shell's quit): raises the epoch and cancels.
  void stopPublishing();
  // Cancels every task and drops the observers; true once all of them have ended (the owner
  // drives the executor until then before destroying the manager).
  void cancelAll();
  bool allTasksEnded() const;
  // Ends once every current and retired publishing task has ended.
  boost::asio::awaitable<void> waitForPublishingTasks();

  // The savings, quota and update flows publish through these (model executor); each
  // publishes a new value only when something changed.
  void setSavingsFigures(SavingsFigures figures);
  void setSavingsStatus(std::optional<std::string> status, bool configuring);
  void setProviderQuotas(std::vector<ProviderQuotaSnapshot> quotas);
  void setUpdateState(std::optional<std::string> version, std::optional<std::string> status, bool updating);
  // A side flow's failure the user should look at.
  void flowNeedsAttention() { needsAttention(); }
  bool menuBarPopoverVisible() const { return menuBarPopoverVisible_; }

  // Exposed for tests and the bench: one streaming tick / reconciliation tick now.
  boost::asio::awaitable<void> pulseTick(int64_t epoch, WallTime cadenceAt);
  boost::asio::awaitable<bool> reconcileTick(int64_t epoch);
  int64_t publishingEpoch() const { return publishingEpoch_; }
  int64_t uploadFailureCount() const { return uploadFailureCount_; }
  WallTime nextUploadAttemptAt() const { return nextUploadAttemptAt_; }
  std::optional<WallTime> lastPulseUploadScheduledAt() const { return lastPulseUploadScheduledAt_; }
  const std::optional<rules::PulseUpload>& pendingPulseUpload() const { return pendingPulseUpload_; }
  const rules::LiveBaselines& liveBaselines() const { return live_; }
  const RealtimeCostTracker& realtimeCost() const { return realtimeCost_; }
  const std::optional<std::string>& deviceToken() const { return deviceToken_; }

 private:
  class Posted;

  void assertOnModel() const { assert(services_.runtime.model().running_in_this_thread()); }
  // The draft of the next published value; schedules its publication at the end of the turn.
  ConnectionState& edit();
  void publishNow();
  // Starts a task on the model executor (on the next turn).
  Task spawn(boost::asio::awaitable<void> body);
  void retire(std::optional<Task>& task);
  WallTime now() const { return services_.clock.now(); }
  void menuBarUpdate();
  void needsAttention();
  void setError(std::optional<std::string> message);

  // Lifecycle and cache.
  void hydrateCachedTotals();
  void persistCachedTotals(const API::Totals& totals, int64_t liveTotal, bool includeMetadata);
  void clearCachedTotals();
  bool isPublishing(const std::string& token, int64_t epoch) const;
  void retirePublishingJobs();
  void publishCounters(const UsageCounters& counters);
  UsageCounters publishedCounters() const;
  std::optional<API::OptimizerStats> optimizerStats() const;

  // Streaming.
  void startStreaming();
  boost::asio::awaitable<void> streamLoop(int64_t epoch);
  boost::asio::awaitable<void> cursorPreferenceChanged();

  // Uploads, reconciliation, oracle.
  void queuePulseUpload(rules::PulseUpload upload);
  boost::asio::awaitable<void> drainPulseUploads(uint64_t attempt);
  void recordUploadFailure(const std::string& description);
  void applyAcceptedTotals(const API::AcceptedTotals& accepted);
  boost::asio::awaitable<void> commitOracleIfDue(std::string token, API::Totals totals, int64_t epoch);
  boost::asio::awaitable<void> reconcileLoop(int64_t epoch);
  boost::asio::awaitable<void> manualReconcile(uint64_t attempt, int64_t epoch);
  boost::asio::awaitable<void> manualPulse(uint64_t attempt, int64_t epoch);
  void adoptAccountingRevisionIfNeeded(const API::Totals& ledger);
  void commitPendingAccountingRevision();

  // Pairing, unlock, disconnect, revocation.
  boost::asio::awaitable<void> runPairing(uint64_t attempt);
  boost::asio::awaitable<void> runCredentialUnlock(uint64_t attempt, bool userInitiated);
  void actOnProbe(const TokenProbe& probe, bool afterPrompt);
  boost::asio::awaitable<void> completeCredentialUnlock(StoredToken token, uint64_t attempt);
  boost::asio::awaitable<void> credentialUnlockReminder(uint64_t attempt);
  void finishCredentialUnlock(const std::string& token);
  boost::asio::awaitable<void> runDisconnectCleanup(std::vector<Task> captured, bool allowInteraction);
  void finishDisconnect();
  void handleRevokedCredential();
  boost::asio::awaitable<void> cleanUpRevokedTokens();
  void recordConnectionCompletion(bool pairingOrigin, const std::string& login);

  // Candles.
  boost::asio::awaitable<void> candleLoop(uint64_t attempt);

  Services services_;
  PairingDependencies pairing_;
  bool startPublishingOnPairing_;
  Callbacks callbacks_;
  SideFlows* sideFlows_ = nullptr;
  std::unique_ptr<ConnectionCommands> posted_;

  ConnectionState state_;
  bool publishScheduled_ = false;
  mutable std::mutex publishedMutex_;
  std::shared_ptr<const ConnectionState> published_;
  std::vector<Observer> observers_;

  std::optional<Task> streamTask_, reconcileTask_, pairingTask_, credentialUnlockTask_, disconnectCleanupTask_,
      manualReconcileTask_, manualPulseTask_, pulseUploadTask_, publicCandleTask_, revocationCleanupTask_,
      cursorToggleTask_;
  RetiredTasks retiring_;
  std::vector<Task> helpers_;  // short tasks with no handle of their own (reminders)

  uint64_t pairingAttempt_ = 0, credentialUnlockAttempt_ = 0, manualReconcileAttempt_ = 0, manualPulseAttempt_ = 0,
           pulseUploadAttempt_ = 0, publicCandleAttempt_ = 0;
  int64_t publishingEpoch_ = 0;
  std::optional<std::string> deviceToken_;
  bool menuBarPopoverVisible_ = false;

  std::optional<WallTime> lastPulseUploadScheduledAt_;
  std::optional<int64_t> lastUploadedPulseTotal_;
  std::optional<double> lastUploadedPulseCost_;
  int64_t uploadFailureCount_ = 0;
  WallTime nextUploadAttemptAt_ = WallTime::min();
  std::optional<rules::PulseUpload> pendingPulseUpload_;
  WallTime nextOracleCommitAt_ = WallTime::min();
  bool isOracleCommitting_ = false;

  std::optional<int64_t> previousLiveTotal_, previousPulseTotal_;
  rules::LiveBaselines live_;
  rules::ReconcileBaselines reconcile_;
  std::optional<std::string> pendingAccountingRevision_;
  RealtimeCostTracker realtimeCost_;
  int64_t contextEpoch_ = 0;

  AsyncSerialGate ingestGate_;
  AsyncSerialGate pulseReadGate_;
};

}  // namespace quorvin
