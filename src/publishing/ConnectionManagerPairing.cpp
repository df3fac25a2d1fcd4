// Pairing, credential unlock, disconnect with clean-up, and revoked pairings.
#include <boost/asio/this_coro.hpp>
#include <cstdlib>

#include "publishing/ConnectionManager.h"
#include "publishing/ServiceEndpoint.h"

namespace quorvin {

namespace asio = boost::asio;

namespace text {
constexpr const char* pairingTimedOut = "Pairing timed out \xE2\x80\x94 try again.";
constexpr const char* tokenMissing = "The saved pairing token is not on this computer. Pair again to resume streaming.";
constexpr const char* legacyPairing =
    "This prerelease update needs this computer to pair again. Your usage history is unchanged.";
constexpr const char* openToRetry = "Open Quorvin in the tray and choose Retry keyring to resume streaming.";
constexpr const char* waitingForApproval = "Waiting for the system keyring approval.";
constexpr const char* approvalRequired = "Keyring approval is required to resume streaming.";
constexpr const char* notApproved = "Keyring access was not approved. Retry it, or pair this computer again.";
constexpr const char* promptStillOpen = "The keyring prompt is still open. Approve or dismiss it to continue.";
constexpr const char* migrationNeedsPrompt =
    "Open Quorvin in the tray and choose Retry keyring to finish the one-time secure migration.";
constexpr const char* cleanupDeclined = "Keyring approval is required to finish removing the legacy pairing token.";
constexpr const char* cleanupNeedsApproval = "Approve keyring access to finish removing the legacy pairing token.";
constexpr const char* revoked = "This computer's pairing was revoked on Quorvin. Pair again to resume streaming.";
constexpr const char* revokedNeedsApproval =
    " The system may ask for keyring approval before the old token is fully removed.";
constexpr const char* profileNotOpened = "Could not open your live profile. Try again.";
}  // namespace text

namespace {

std::string cleanupFailed(const std::string& reason) {
  return "Local credential cleanup did not finish: " + reason + " Retry cleanup before pairing this computer.";
}
std::string cursorCleanupFailed(const std::string& reason) {
  return "Cursor history cleanup did not finish: " + reason + " Retry cleanup before pairing this computer.";
}

bool isCancelled(const asio::cancellation_state& state) { return state.cancelled() != asio::cancellation_type::none; }

enum class Cleanup { success, approvalRequired, failed };

}  // namespace

PairingDependencies PairingDependencies::live(HttpClient& http, RuntimeClock& clock, Browser* browser,
                                              AsyncCredentialStore& credentials) {
  PairingDependencies d;
  d.create = [&http](std::string api) {
    // A self-hosted service may approve its operator's machines at once when they present the
    // enrolment secret it was started with.
    const char* enrol = std::getenv(enrolSecretEnvironmentVariable);
    return API::createPair(http, std::move(api), enrol != nullptr ? enrol : "");
  };
  d.openApproval = [browser](const std::string& url) {
    if (browser) browser->open(url);
  };
  d.openProfile = [browser](const std::string& url) { return browser && browser->open(url); };
  d.waitForPoll = [&clock]() { return clock.sleep(std::chrono::duration_cast<Duration>(rules::kPollInterval)); };
  d.poll = [&http](std::string api, std::string code, std::string secret) {
    return API::pollPair(http, std::move(api), std::move(code), std::move(secret));
  };
  d.save = [&credentials](std::string token, int64_t generation) {
    return credentials.save(std::move(token), generation);
  };
  return d;
}

// ---- Pairing ----

void ConnectionManager::connect() {
  assertOnModel();
  const auto& s = state_;
  if (s.status.is(ConnectionStatus::Kind::pairing)) return;
  if (pairingTask_ || s.isPairingRequesting || s.isUnlockingCredential || credentialUnlockTask_ || s.isDisconnecting ||
      s.disconnectCleanupPending) {
    return;
  }
  if (services_.usage.cursorLedgerExists() && !services_.defaults.contains("quorvin_cursor_usage_enabled")) {
    setCursorUsageEnabled(true);
  }
  ++credentialUnlockAttempt_;
  retire(credentialUnlockTask_);
  auto& e = edit();
  e.isUnlockingCredential = false;
  e.isProbingCredential = false;
  e.credentialMissing = false;
  e.pairingSuccessHandle.reset();
  e.profileOpenError.reset();
  e.pairingURL.reset();
  const uint64_t attempt = ++pairingAttempt_;
  e.isPairingRequesting = true;
  pairingTask_ = spawn(runPairing(attempt));
}

asio::awaitable<void> ConnectionManager::runPairing(uint64_t attempt) {
  auto cancellation = co_await asio::this_coro::cancellation_state;
  auto current = [&] { return pairingAttempt_ == attempt && !isCancelled(cancellation); };
  try {
    // The generation is read when the pairing begins; a disconnect or revocation raises it.
    auto readingGeneration = services_.credentials.mutationGeneration();
    const int64_t generation = co_await std::move(readingGeneration);
    if (!current()) co_return;
    setError(std::nullopt);
    auto creating = pairing_.create(services_.api);
    const API::Pair pair = co_await std::move(creating);
    if (!current()) co_return;
    auto& s = edit();
    s.isPairingRequesting = false;
    s.status = ConnectionStatus::pairing(pair.code);
    s.pairingURL = pair.verifyUrl;
    if (pair.verifyUrl.starts_with("https://") || pair.verifyUrl.starts_with("http://")) {
      if (pairing_.openApproval) pairing_.openApproval(pair.verifyUrl);
    }

    std::optional<API::Approved> approved;
    for (int count = 0;;) {
      auto waiting = pairing_.waitForPoll();
      co_await std::move(waiting);
      if (!current()) co_return;
      auto polling = pairing_.poll(services_.api, pair.code, pair.deviceSecret);
      approved = co_await std::move(polling);
      if (!current()) co_return;
      if (approved) break;
      if (++count >= rules::kMaxPolls) {
        auto& t = edit();
        t.isPairingRequesting = false;
        t.pairingURL.reset();
        t.lastError = text::pairingTimedOut;
        t.status = ConnectionStatus::disconnected();
        pairingTask_.reset();
        co_return;
      }
    }

    auto saving = pairing_.save(approved->token, generation);
    co_await std::move(saving);
    if (!current()) co_return;
    deviceToken_ = approved->token;
    auto& t = edit();
    t.isUnlockingCredential = false;
    t.login = approved->login;
    services_.defaults.setString("login", approved->login);
    services_.defaults.remove("disconnect_requested");
    t.pairingURL.reset();
    t.status = ConnectionStatus::connected();
    t.isPairingRequesting = false;
    pairingTask_.reset();
    if (startPublishingOnPairing_) startStreaming();
    recordConnectionCompletion(true, approved->login);
  } catch (const std::exception& error) {
    if (!current()) co_return;
    auto& t = edit();
    t.isPairingRequesting = false;
    t.pairingURL.reset();
    t.lastError = error.what();
    t.status = ConnectionStatus::disconnected();
    pairingTask_.reset();
  }
}

void ConnectionManager::cancelPairing() {
  assertOnModel();
  if (!state_.status.is(ConnectionStatus::Kind::pairing)) return;
  ++pairingAttempt_;
  retire(pairingTask_);
  auto& s = edit();
  s.isPairingRequesting = false;
  s.pairingURL.reset();
  s.lastError.reset();
  s.status = ConnectionStatus::disconnected();
}

void ConnectionManager::recordConnectionCompletion(bool pairingOrigin, const std::string& login) {
  if (!pairingOrigin || state_.pairingSuccessHandle) return;
  if (rules::liveProfileURL(services_.api, login)) {
    auto& s = edit();
    s.pairingSuccessHandle = login;
    s.profileOpenError.reset();
  }
  if (callbacks_.interactivePairingCompleted) callbacks_.interactivePairingCompleted();
}

void ConnectionManager::openLiveProfile() {
  assertOnModel();
  if (!state_.pairingSuccessHandle) return;
  auto url = rules::liveProfileURL(services_.api, *state_.pairingSuccessHandle);
  const bool opened = url && pairing_.openProfile && pairing_.openProfile(*url);
  auto& s = edit();
  if (opened) {
    s.pairingSuccessHandle.reset();
    s.profileOpenError.reset();
  } else {
    s.profileOpenError = text::profileNotOpened;
  }
}

void ConnectionManager::dismissPairingSuccess() {
  assertOnModel();
  if (!state_.pairingSuccessHandle && !state_.profileOpenError) return;
  auto& s = edit();
  s.pairingSuccessHandle.reset();
  s.profileOpenError.reset();
}

void ConnectionManager::openPublicProfile() {
  assertOnModel();
  if (state_.login.empty() || !services_.browser) return;
  services_.browser->open(rules::publicProfileURL(services_.api, state_.login));
}

void ConnectionManager::openDataSettings() {
  assertOnModel();
  if (services_.browser) services_.browser->open(services_.api + "/connect");
}

// ---- Unlock ----

void ConnectionManager::retryCredentialUnlock(bool userInitiated) {
  assertOnModel();
  const auto& s = state_;
  if (!s.status.is(ConnectionStatus::Kind::disconnected) || s.login.empty() || s.isUnlockingCredential ||
      credentialUnlockTask_ || pairingTask_ || s.isPairingRequesting || s.isDisconnecting ||
      s.disconnectCleanupPending) {
    return;
  }
  const uint64_t attempt = ++credentialUnlockAttempt_;
  auto& e = edit();
  e.isUnlockingCredential = true;
  e.isProbingCredential = true;
  e.credentialMissing = false;
  e.lastError.reset();
  credentialUnlockTask_ = spawn(runCredentialUnlock(attempt, userInitiated));
}

asio::awaitable<void> ConnectionManager::runCredentialUnlock(uint64_t attempt, bool userInitiated) {
  try {
    auto probing = services_.credentials.probe();
    const TokenProbe probe = co_await std::move(probing);
    if (credentialUnlockAttempt_ != attempt) co_return;
    edit().isProbingCredential = false;
    if (probe.kind == TokenProbe::Kind::approvalRequired && userInitiated) {
      setError(std::string(text::waitingForApproval));
      bool approved = false;
      if (callbacks_.requestCredentialApproval) {
        auto asking = callbacks_.requestCredentialApproval(CredentialApprovalPurpose::resumeStreaming);
        approved = co_await std::move(asking);
      }
      if (credentialUnlockAttempt_ != attempt) co_return;
      if (!approved) {
        edit().isUnlockingCredential = false;
        setError(std::string(text::approvalRequired));
        credentialUnlockTask_.reset();
        co_return;
      }
      helpers_.push_back(spawn(credentialUnlockReminder(attempt)));
      auto locating = services_.credentials.locate();
      const TokenProbe located = co_await std::move(locating);
      if (credentialUnlockAttempt_ != attempt) co_return;
      actOnProbe(located, true);
      if (located.kind == TokenProbe::Kind::available && located.token->source == TokenSource::legacyDefaults) {
        auto completing = completeCredentialUnlock(*located.token, attempt);
        co_await std::move(completing);
      }
    } else {
      actOnProbe(probe, false);
      if (probe.kind == TokenProbe::Kind::available && probe.token->source == TokenSource::legacyDefaults) {
        auto completing = completeCredentialUnlock(*probe.token, attempt);
        co_await std::move(completing);
      }
    }
  } catch (const std::exception& error) {
    if (credentialUnlockAttempt_ == attempt) {
      auto& s = edit();
      s.isUnlockingCredential = false;
      s.isProbingCredential = false;
      s.lastError = error.what();
    }
  }
  if (credentialUnlockAttempt_ == attempt) credentialUnlockTask_.reset();
}

void ConnectionManager::actOnProbe(const TokenProbe& probe, bool afterPrompt) {
  auto& s = edit();
  switch (probe.kind) {
    case TokenProbe::Kind::available:
      if (probe.token->source == TokenSource::current) {
        credentialUnlockTask_.reset();
        finishCredentialUnlock(probe.token->value);
      }
      // A legacy token is migrated by the unlock task (completeCredentialUnlock).
      return;
    case TokenProbe::Kind::failed:
      s.isUnlockingCredential = false;
      s.lastError = probe.message;
      return;
    case TokenProbe::Kind::missing:
      s.isUnlockingCredential = false;
      s.credentialMissing = true;
      s.lastError = text::tokenMissing;
      return;
    case TokenProbe::Kind::legacyPairingRequired:
      s.isUnlockingCredential = false;
      s.credentialMissing = true;
      s.lastError = text::legacyPairing;
      return;
    case TokenProbe::Kind::approvalRequired:
      s.isUnlockingCredential = false;
      if (afterPrompt) {
        s.lastError = text::notApproved;
      } else {
        s.lastError = text::openToRetry;
        needsAttention();
      }
      return;
  }
}

asio::awaitable<void> ConnectionManager::completeCredentialUnlock(StoredToken token, uint64_t attempt) {
  // A token of an earlier edition kept in user defaults: move it into the secret store first.
  try {
    auto readingGeneration = services_.credentials.mutationGeneration();
    const int64_t generation = co_await std::move(readingGeneration);
    auto saving = services_.credentials.save(token.value, generation);
    co_await std::move(saving);
    services_.defaults.remove(CredentialStore::legacyDefaultsKey);
    if (credentialUnlockAttempt_ != attempt) co_return;
    credentialUnlockTask_.reset();
    finishCredentialUnlock(token.value);
  } catch (const StoreError& error) {
    if (credentialUnlockAttempt_ != attempt) co_return;
    auto& s = edit();
    s.isUnlockingCredential = false;
    if (error.kind() == StoreError::Kind::approvalRequired) {
      s.isProbingCredential = false;
      s.lastError = text::migrationNeedsPrompt;
      needsAttention();
    } else {
      s.lastError = error.what();
    }
  }
}

asio::awaitable<void> ConnectionManager::credentialUnlockReminder(uint64_t attempt) {
  try {
    auto sleeping = services_.clock.sleep(std::chrono::duration_cast<Duration>(rules::kKeyringReminder));
    co_await std::move(sleeping);
  } catch (const boost::system::system_error&) {
    co_return;
  }
  if (credentialUnlockAttempt_ == attempt && state_.isUnlockingCredential &&
      state_.status.is(ConnectionStatus::Kind::disconnected)) {
    setError(std::string(text::promptStillOpen));
  }
}

void ConnectionManager::finishCredentialUnlock(const std::string& token) {
  deviceToken_ = token;
  auto& s = edit();
  s.isUnlockingCredential = false;
  s.isProbingCredential = false;
  s.credentialMissing = false;
  s.lastError.reset();
  s.pairingURL.reset();
  s.status = ConnectionStatus::connected();
  startStreaming();
  recordConnectionCompletion(false, s.login);
}

// ---- Disconnect ----

void ConnectionManager::disconnect() {
  assertOnModel();
  services_.defaults.setBoolean("disconnect_requested", true);
  services_.defaults.remove("login");
  services_.defaults.flush();  // a crash during clean-up resumes it at the next launch
  auto& s = edit();
  s.disconnectCleanupPending = true;
  s.pairingSuccessHandle.reset();
  s.profileOpenError.reset();
  beginDisconnectCleanup(false);
}

void ConnectionManager::retryDisconnectCleanup() {
  assertOnModel();
  if (!state_.disconnectCleanupPending || state_.isDisconnecting) return;
  beginDisconnectCleanup(state_.disconnectCleanupNeedsApproval);
}

void ConnectionManager::beginDisconnectCleanup(bool allowInteraction) {
  assertOnModel();
  if (disconnectCleanupTask_) return;
  auto& s = edit();
  s.isDisconnecting = true;
  s.isPairingRequesting = false;
  s.isProbingCredential = false;
  s.credentialMissing = false;
  s.disconnectCleanupNeedsApproval = false;
  s.lastError.reset();

  std::vector<Task> captured;
  for (auto* task : {&streamTask_, &reconcileTask_, &manualReconcileTask_, &manualPulseTask_, &pulseUploadTask_}) {
    if (*task) captured.push_back(**task);
  }
  stopPublishing();
  ++pairingAttempt_;
  retire(pairingTask_);
  ++credentialUnlockAttempt_;
  retire(credentialUnlockTask_);
  disconnectCleanupTask_ = spawn(runDisconnectCleanup(std::move(captured), allowInteraction));
}

asio::awaitable<void> ConnectionManager::runDisconnectCleanup(std::vector<Task> captured, bool allowInteraction) {
  // Refuse any pairing or migration save still in flight.
  auto raising = services_.credentials.raiseMutationGeneration();
  co_await std::move(raising);
  for (const auto& task : captured) {
    auto ended = task.wait();
    co_await std::move(ended);
  }
  auto retired = retiring_.waitAll();
  co_await std::move(retired);
  if (!state_.disconnectCleanupPending) {
    disconnectCleanupTask_.reset();
    co_return;
  }

  if (allowInteraction) {
    bool approved = false;
    if (callbacks_.requestCredentialApproval) {
      auto asking = callbacks_.requestCredentialApproval(CredentialApprovalPurpose::removeLegacyToken);
      approved = co_await std::move(asking);
    }
    if (!approved) {
      auto& s = edit();
      s.isDisconnecting = false;
      s.disconnectCleanupNeedsApproval = true;
      s.lastError = text::cleanupDeclined;
      disconnectCleanupTask_.reset();
      needsAttention();
      co_return;
    }
  }

  Cleanup result = Cleanup::success;
  std::string reason;
  try {
    auto deleting = services_.credentials.deleteAll(allowInteraction);
    co_await std::move(deleting);
  } catch (const StoreError& error) {
    result = error.kind() == StoreError::Kind::approvalRequired ? Cleanup::approvalRequired : Cleanup::failed;
    reason = error.what();
  } catch (const std::exception& error) {
    result = Cleanup::failed;
    reason = error.what();
  }
  if (!state_.disconnectCleanupPending) {
    disconnectCleanupTask_.reset();
    co_return;
  }

  if (result == Cleanup::success) {
    std::optional<std::string> cursorFailure;
    try {
      auto clearing = services_.usage.clearCursorLedger();
      co_await std::move(clearing);
    } catch (const std::exception& error) {
      cursorFailure = error.what();
    }
    disconnectCleanupTask_.reset();
    if (!state_.disconnectCleanupPending) co_return;
    if (!cursorFailure) {
      finishDisconnect();
      co_return;
    }
    auto& s = edit();
    s.isDisconnecting = false;
    s.credentialMissing = true;
    s.lastError = cursorCleanupFailed(*cursorFailure);
    needsAttention();
    co_return;
  }

  disconnectCleanupTask_.reset();
  auto& s = edit();
  s.isDisconnecting = false;
  s.credentialMissing = true;
  if (result == Cleanup::approvalRequired) {
    s.disconnectCleanupNeedsApproval = true;
    s.lastError = text::cleanupNeedsApproval;
  } else {
    s.lastError = cleanupFailed(reason);
  }
  needsAttention();
}

void ConnectionManager::finishDisconnect() {
  retire(streamTask_);
  retire(reconcileTask_);
  ++pulseUploadAttempt_;
  retire(pulseUploadTask_);
  pendingPulseUpload_.reset();
  deviceToken_.reset();
  services_.defaults.remove("login");
  services_.defaults.remove("disconnect_requested");
  clearCachedTotals();
  services_.defaults.setBoolean("quorvin_cursor_usage_enabled", false);

  // Every published figure back to its initial value; settings the views own stay.
  ConnectionState fresh;
  auto& s = edit();
  fresh.plan = s.plan;
  fresh.savingsSnapshot = s.savingsSnapshot;
  fresh.savingsStatus = s.savingsStatus;
  fresh.isConfiguringSavings = s.isConfiguringSavings;
  fresh.updateVersion = s.updateVersion;
  fresh.updateStatus = s.updateStatus;
  fresh.isUpdating = s.isUpdating;
  fresh.launchAtLoginNeedsApproval = s.launchAtLoginNeedsApproval;
  fresh.launchAtLoginEnabled = s.launchAtLoginEnabled;
  fresh.launchAtLoginError = s.launchAtLoginError;
  s = std::move(fresh);

  previousLiveTotal_.reset();
  previousPulseTotal_.reset();
  live_ = rules::LiveBaselines{};
  reconcile_ = rules::ReconcileBaselines{};
  pendingAccountingRevision_.reset();
  realtimeCost_ = RealtimeCostTracker{};
  lastPulseUploadScheduledAt_.reset();
  lastUploadedPulseTotal_.reset();
  lastUploadedPulseCost_.reset();
  uploadFailureCount_ = 0;
  nextUploadAttemptAt_ = WallTime::min();
  nextOracleCommitAt_ = WallTime::min();
  isOracleCommitting_ = false;
  services_.defaults.flush();
}

// ---- Revocation ----

void ConnectionManager::handleRevokedCredential() {
  assertOnModel();
  stopPublishing();
  services_.defaults.remove("login");
  services_.defaults.remove("disconnect_requested");
  auto& s = edit();
  s.login.clear();
  s.credentialMissing = true;
  s.disconnectCleanupPending = false;
  s.disconnectCleanupNeedsApproval = false;
  uploadFailureCount_ = 0;
  nextUploadAttemptAt_ = WallTime::min();
  lastPulseUploadScheduledAt_.reset();
  lastUploadedPulseTotal_.reset();
  lastUploadedPulseCost_.reset();
  s.oracleError.reset();
  nextOracleCommitAt_ = WallTime::min();
  s.lastError = text::revoked;
  needsAttention();
  retire(revocationCleanupTask_);
  revocationCleanupTask_ = spawn(cleanUpRevokedTokens());
}

asio::awaitable<void> ConnectionManager::cleanUpRevokedTokens() {
  Cleanup result = Cleanup::success;
  std::string reason;
  try {
    auto raising = services_.credentials.raiseMutationGeneration();
    co_await std::move(raising);
    auto deleting = services_.credentials.deleteAll(false);
    co_await std::move(deleting);
  } catch (const StoreError& error) {
    result = error.kind() == StoreError::Kind::approvalRequired ? Cleanup::approvalRequired : Cleanup::failed;
    reason = error.what();
  } catch (const std::exception& error) {
    result = Cleanup::failed;
    reason = error.what();
  }
  if (result == Cleanup::success || !state_.status.is(ConnectionStatus::Kind::disconnected) ||
      !state_.credentialMissing) {
    co_return;
  }
  auto& s = edit();
  const std::string base = s.lastError.value_or(text::revoked);
  s.lastError = result == Cleanup::failed ? base + " Local token cleanup did not finish: " + reason
                                          : base + text::revokedNeedsApproval;
  needsAttention();
}

}  // namespace quorvin
