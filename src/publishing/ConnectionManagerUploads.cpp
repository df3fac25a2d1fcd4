// Uploads and reconciliation: the one-slot upload queue and its drain, back-off, accepted
// totals and public offsets, oracle checkpoints, the 15-minute ledger reconciliation and
// accounting revisions.
#include <cmath>

#include "core/Log.h"
#include "publishing/ConnectionManager.h"

namespace quorvin {

namespace asio = boost::asio;

namespace {

std::string describe(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown error";
  }
}

const char* const kNoLedger = "No local token data yet \xE2\x80\x94 run an AI coding session, then retry.";

}  // namespace

void ConnectionManager::queuePulseUpload(rules::PulseUpload upload) {
  assertOnModel();
  pendingPulseUpload_ = rules::preservingPendingMetadata(pendingPulseUpload_, std::move(upload));
  if (!pulseUploadTask_) {
    const uint64_t attempt = ++pulseUploadAttempt_;
    pulseUploadTask_ = spawn(drainPulseUploads(attempt));
  }
}

asio::awaitable<void> ConnectionManager::drainPulseUploads(uint64_t attempt) {
  try {
    for (;;) {
      auto cancelled = (co_await asio::this_coro::cancellation_state).cancelled();
      if (cancelled != asio::cancellation_type::none || pulseUploadAttempt_ != attempt) break;
      if (!pendingPulseUpload_) break;
      rules::PulseUpload upload = std::move(*pendingPulseUpload_);
      pendingPulseUpload_.reset();
      if (!isPublishing(upload.token, upload.epoch)) continue;

      std::optional<API::AcceptedTotals> accepted;
      std::exception_ptr failure;
      {
        auto acquiring = ingestGate_.acquire();
        AsyncSerialGate::Lease lease = co_await std::move(acquiring);
        auto stillWanted = (co_await asio::this_coro::cancellation_state).cancelled();
        if (stillWanted != asio::cancellation_type::none) break;
        try {
          auto sending = API::ingest(services_.http, services_.api, upload.token, state_.login, state_.plan,
                                     upload.totals, services_.publisher);
          accepted = co_await std::move(sending);
        } catch (...) {
          failure = std::current_exception();
        }
      }

      if (!failure) {
        if (pulseUploadAttempt_ != attempt || !isPublishing(upload.token, upload.epoch)) continue;
        lastUploadedPulseTotal_ = upload.pulseTotal;
        lastUploadedPulseCost_ = upload.displayedCost;
        uploadFailureCount_ = 0;
        nextUploadAttemptAt_ = WallTime::min();
        if (state_.lastError) setError(std::nullopt);
        if (accepted) applyAcceptedTotals(*accepted);
        auto committing = commitOracleIfDue(upload.token, upload.totals, upload.epoch);
        co_await std::move(committing);
        continue;
      }

      if (pulseUploadAttempt_ != attempt) break;
      if (isPublishing(upload.token, upload.epoch)) {
        // Both carry all-time totals, so the failed one may stand in for a newer one.
        pendingPulseUpload_ = std::move(upload);
        if (API::isAuthorizationRevocation(failure)) {
          handleRevokedCredential();
        } else {
          recordUploadFailure(describe(failure));
        }
      }
      break;
    }
  } catch (const boost::system::system_error&) {
    // Cancelled.
  }
  if (pulseUploadAttempt_ == attempt) pulseUploadTask_.reset();
}

void ConnectionManager::recordUploadFailure(const std::string& description) {
  uploadFailureCount_ = std::min<int64_t>(uploadFailureCount_ + 1, rules::kUploadFailureCap);
  nextUploadAttemptAt_ = now() + rules::uploadBackoff(uploadFailureCount_);
  setError(description);
}

void ConnectionManager::applyAcceptedTotals(const API::AcceptedTotals& accepted) {
  const auto offsets = rules::acceptedOffsets(accepted, state_.tokens, state_.cost);
  auto& s = edit();
  if (offsets.tokenOffset) {
    s.publicTokenOffset = *offsets.tokenOffset;
    services_.defaults.setInteger("public_token_offset", *offsets.tokenOffset);
  }
  if (offsets.costOffset) {
    s.publicCostOffset = *offsets.costOffset;
    services_.defaults.setNumber("public_cost_offset", *offsets.costOffset);
  }
  menuBarUpdate();
}

asio::awaitable<void> ConnectionManager::commitOracleIfDue(std::string token, API::Totals totals, int64_t epoch) {
  if (!services_.oracle || !isPublishing(token, epoch) || now() < nextOracleCommitAt_ || state_.login.empty() ||
      isOracleCommitting_) {
    co_return;
  }
  isOracleCommitting_ = true;
  std::exception_ptr failure;
  std::optional<CommitResult> result;
  try {
    auto committing = services_.oracle->commit(services_.api, token, state_.login, totals.total, totals.cost);
    result = co_await std::move(committing);
  } catch (...) {
    failure = std::current_exception();
  }
  isOracleCommitting_ = false;
  if (!isPublishing(token, epoch)) co_return;
  if (result) {
    const WallTime at = now();
    auto& s = edit();
    s.oracleSequence = result->seq;
    s.lastOracleCommit = at;
    s.oracleError.reset();
    nextOracleCommitAt_ = at + rules::kOracleInterval;
    co_return;
  }
  if (API::isAuthorizationRevocation(failure)) {
    handleRevokedCredential();
    co_return;
  }
  const std::string description = describe(failure);
  edit().oracleError = description;
  logLine("Quorvin oracle checkpoint failed: " + description);
  nextOracleCommitAt_ = now() + rules::kOracleRetry;
}

asio::awaitable<void> ConnectionManager::reconcileLoop(int64_t epoch) {
  int64_t failures = 0;
  try {
    for (;;) {
      auto ticking = reconcileTick(epoch);
      const bool ok = co_await std::move(ticking);
      Duration wait;
      if (ok) {
        failures = 0;
        wait = rules::kReconcilePeriod;
      } else {
        ++failures;
        wait = rules::reconcileBackoff(failures);
      }
      auto sleeping = services_.clock.sleep(wait);
      co_await std::move(sleeping);
    }
  } catch (const boost::system::system_error&) {
    // Cancelled.
  }
}

asio::awaitable<void> ConnectionManager::manualReconcile(uint64_t attempt, int64_t epoch) {
  try {
    auto ticking = reconcileTick(epoch);
    co_await std::move(ticking);
  } catch (const boost::system::system_error&) {
  }
  if (manualReconcileAttempt_ == attempt) manualReconcileTask_.reset();
}

asio::awaitable<bool> ConnectionManager::reconcileTick(int64_t epoch) {
  assertOnModel();
  if (!deviceToken_ || deviceToken_->empty()) co_return false;
  const std::string token = *deviceToken_;
  if (!isPublishing(token, epoch) || state_.isReconciling) co_return false;

  edit().isReconciling = true;
  // Every way out of here clears the flag, including a cancelled read.
  struct ClearReconciling {
    ConnectionManager* m;
    ~ClearReconciling() { m->edit().isReconciling = false; }
  } clearOnExit{this};

  auto readingTotals = services_.usage.readTotals();
  std::optional<API::Totals> ledger = co_await std::move(readingTotals);
  if (!ledger) {
    if (!isPublishing(token, epoch)) co_return false;
    setError(std::string(kNoLedger));
    co_return true;
  }
  if (!isPublishing(token, epoch)) co_return false;

  std::optional<Ccusage::Pulse> pulse;
  {
    auto acquiring = pulseReadGate_.acquire();
    AsyncSerialGate::Lease lease = co_await std::move(acquiring);
    auto reading = services_.usage.readPulse();
    pulse = co_await std::move(reading);
  }
  if (!isPublishing(token, epoch)) co_return false;

  auto& s = edit();
  if (pulse) {
    s.cursorStatus = pulse->providerWarning;
    realtimeCost_.ingest(pulse->sourceCosts, s.cost);
  }
  adoptAccountingRevisionIfNeeded(*ledger);

  API::Totals merged = rules::displayFromLedger(
      reconcile_, *ledger,
      rules::LedgerMergeInput{s.tokens, s.cost, publishedCounters(), live_.pulseLedgerBaseCounters, previousPulseTotal_,
                              realtimeCost_.streamTotal()});
  merged.optimizer = optimizerStats();

  int64_t delta = 0;
  if (pulse) {
    if (previousPulseTotal_) delta = std::max<int64_t>(0, pulse->total - *previousPulseTotal_);
    previousPulseTotal_ = std::max(previousPulseTotal_.value_or(pulse->total), pulse->total);
    s.activeSources = pulse->sources;
    s.activeModels = pulse->models;
    s.contextInput = ledger->input.value_or(pulse->counters.input);
    s.contextOutput = ledger->output.value_or(pulse->counters.output);
    s.contextCacheRead = ledger->cacheRead.value_or(pulse->counters.cacheRead);
    s.contextCacheWrite = ledger->cacheWrite.value_or(pulse->counters.cacheWrite);
    s.tokenDelta = delta;
  } else {
    const int64_t ledgerLive = ledger->liveTotal.value_or(ledger->total);
    if (previousLiveTotal_) delta = std::max<int64_t>(0, ledgerLive - *previousLiveTotal_);
  }
  previousLiveTotal_ = ledger->liveTotal.value_or(ledger->total);

  const WallTime at = now();
  s.tokens = merged.total;
  s.cost = merged.cost;
  realtimeCost_.rebase(merged.cost);
  s.appCount = static_cast<int64_t>(merged.agents.size());
  s.modelCount = static_cast<int64_t>(merged.models.size());
  s.topModel = merged.models.empty() ? std::string() : merged.models.front().name;
  s.agentBreakdown = merged.agents;
  s.modelBreakdown = merged.models;
  s.lastSync = at;
  s.lastReconciled = at;
  ++contextEpoch_;

  const int64_t liveTotal = previousPulseTotal_.value_or(ledger->liveTotal.value_or(ledger->total));
  rules::appendPoint(s.recentTicks, UsagePoint{rules::newUuid(), at, merged.total, liveTotal, merged.cost, delta,
                                               publishedCounters(), contextEpoch_, false});
  persistCachedTotals(merged, liveTotal, true);
  commitPendingAccountingRevision();

  live_.pulseLedgerBaseTotal = merged.total;
  if (previousPulseTotal_) live_.pulseBaseTotal = previousPulseTotal_;
  const UsageCounters previousBase = live_.pulseLedgerBaseCounters.value_or(UsageCounters{});
  live_.pulseLedgerBaseCounters = UsageCounters{ledger->input.value_or(previousBase.input),
                                                ledger->output.value_or(previousBase.output),
                                                ledger->cacheRead.value_or(previousBase.cacheRead),
                                                ledger->cacheWrite.value_or(previousBase.cacheWrite)};
  if (pulse) live_.pulseBaseCounters = pulse->counters;
  menuBarUpdate();

  if (at >= nextUploadAttemptAt_) {
    const int64_t pulseTotal = pulse ? pulse->total : liveTotal;
    const double displayedCost = merged.cost;
    queuePulseUpload(rules::PulseUpload{token, epoch, std::move(merged), pulseTotal, displayedCost});
  }
  co_return true;
}

void ConnectionManager::adoptAccountingRevisionIfNeeded(const API::Totals& ledger) {
  UserDefaults& d = services_.defaults;
  if (!rules::shouldAdoptAccountingRevision(ledger.accountingRevision, d.string("accounting_revision"))) return;
  auto& s = edit();
  s.tokens = ledger.total;
  s.cost = ledger.cost;
  s.publicTokenOffset = 0;
  s.publicCostOffset = 0;
  d.remove("public_token_offset");
  d.remove("public_cost_offset");
  const UsageCounters counters{ledger.input.value_or(0), ledger.output.value_or(0), ledger.cacheRead.value_or(0),
                               ledger.cacheWrite.value_or(0)};
  publishCounters(counters);
  live_.pulseBaseTotal.reset();
  live_.pulseBaseCounters.reset();
  live_.pulseLedgerBaseTotal = ledger.total;
  live_.pulseLedgerBaseCounters = counters;
  reconcile_ = rules::ReconcileBaselines{};
  pendingAccountingRevision_ = ledger.accountingRevision;
}

void ConnectionManager::commitPendingAccountingRevision() {
  if (!pendingAccountingRevision_) return;
  services_.defaults.setString("accounting_revision", *pendingAccountingRevision_);
  pendingAccountingRevision_.reset();
}

}  // namespace quorvin
