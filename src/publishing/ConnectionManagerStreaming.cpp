// Streaming: the once-a-second tick that turns the live pulse into the displayed totals,
// keeps the sample history and hands uploads to the queue; the Cursor toggle.
#include <boost/asio/this_coro.hpp>

#include "publishing/ConnectionManager.h"

namespace quorvin {

namespace asio = boost::asio;

void ConnectionManager::startStreaming() {
  assertOnModel();
  retire(streamTask_);
  retire(reconcileTask_);
  ++manualReconcileAttempt_;
  retire(manualReconcileTask_);
  ++manualPulseAttempt_;
  retire(manualPulseTask_);
  ++pulseUploadAttempt_;
  retire(pulseUploadTask_);
  pendingPulseUpload_.reset();
  const int64_t epoch = ++publishingEpoch_;
  streamTask_ = spawn(streamLoop(epoch));
  reconcileTask_ = spawn(reconcileLoop(epoch));
  startProviderQuotaUpdatesIfNeeded();
}

asio::awaitable<void> ConnectionManager::streamLoop(int64_t epoch) {
  try {
    for (;;) {
      auto cancelled = (co_await asio::this_coro::cancellation_state).cancelled();
      if (cancelled != asio::cancellation_type::none) co_return;
      const WallTime started = now();
      auto tick = pulseTick(epoch, started);
      co_await std::move(tick);
      const auto elapsed = now() - started;
      Duration wait = std::chrono::duration_cast<Duration>(rules::kTickPeriod);
      if (elapsed >= WallTime::duration::zero()) {
        wait = std::max(Duration::zero(), std::chrono::duration_cast<Duration>(rules::kTickPeriod - elapsed));
      }
      auto sleep = services_.clock.sleep(wait);
      co_await std::move(sleep);
    }
  } catch (const boost::system::system_error&) {
    // Cancelled while asleep or in a tick: the loop was retired.
  }
}

asio::awaitable<void> ConnectionManager::manualPulse(uint64_t attempt, int64_t epoch) {
  try {
    auto tick = pulseTick(epoch, now());
    co_await std::move(tick);
  } catch (const boost::system::system_error&) {
  }
  if (manualPulseAttempt_ == attempt) manualPulseTask_.reset();
}

asio::awaitable<void> ConnectionManager::pulseTick(int64_t epoch, WallTime /*cadenceAt*/) {
  assertOnModel();
  if (!deviceToken_ || deviceToken_->empty()) co_return;
  const std::string token = *deviceToken_;
  if (!isPublishing(token, epoch)) co_return;

  std::optional<Ccusage::Pulse> pulse;
  {
    auto acquiring = pulseReadGate_.acquire();
    AsyncSerialGate::Lease lease = co_await std::move(acquiring);
    auto reading = services_.usage.readPulse();
    pulse = co_await std::move(reading);
  }
  if (!pulse || !isPublishing(token, epoch)) co_return;

  auto& s = edit();
  s.cursorStatus = pulse->providerWarning;
  const double projectedCost = realtimeCost_.ingest(pulse->sourceCosts, s.cost);
  API::Totals totals = rules::displayFromPulse(live_, s.tokens, s.cost, pulse->total, pulse->counters, projectedCost,
                                               realtimeCost_.streamTotal());
  totals.optimizer = optimizerStats();

  const int64_t delta = previousPulseTotal_ ? std::max<int64_t>(0, pulse->total - *previousPulseTotal_) : 0;
  previousPulseTotal_ = pulse->total;

  const WallTime at = now();
  s.tokenDelta = delta;
  s.tokens = totals.total;
  s.cost = totals.cost;
  s.activeSources = pulse->sources;
  s.activeModels = pulse->models;
  s.contextInput = totals.input.value_or(pulse->counters.input);
  s.contextOutput = totals.output.value_or(pulse->counters.output);
  s.contextCacheRead = totals.cacheRead.value_or(pulse->counters.cacheRead);
  s.contextCacheWrite = totals.cacheWrite.value_or(pulse->counters.cacheWrite);
  s.lastSync = at;
  rules::appendPoint(s.recentTicks, UsagePoint{rules::newUuid(), at, totals.total, pulse->total, totals.cost, delta,
                                               publishedCounters(), contextEpoch_, true});
  persistCachedTotals(totals, pulse->total, false);
  menuBarUpdate();

  const rules::UploadSchedule schedule{lastUploadedPulseTotal_, lastUploadedPulseCost_, lastPulseUploadScheduledAt_,
                                       nextUploadAttemptAt_};
  if (rules::shouldQueueUpload(schedule, pulse->total, totals.cost, at)) {
    const double displayedCost = totals.cost;
    queuePulseUpload(rules::PulseUpload{token, epoch, std::move(totals), pulse->total, displayedCost});
    lastPulseUploadScheduledAt_ = at;
  }
}

void ConnectionManager::setCursorUsageEnabled(bool enabled) {
  assertOnModel();
  auto& s = edit();
  s.cursorUsageEnabled = enabled;
  services_.defaults.setBoolean("quorvin_cursor_usage_enabled", enabled);
  s.cursorStatus.reset();
  retire(cursorToggleTask_);
  cursorToggleTask_ = spawn(cursorPreferenceChanged());
}

asio::awaitable<void> ConnectionManager::cursorPreferenceChanged() {
  try {
    auto changed = services_.usage.cursorPreferenceChanged();
    co_await std::move(changed);
  } catch (const std::exception&) {
    co_return;
  }
  // Include or exclude Cursor at once. Only while connected: a refresh while disconnected
  // would start pairing, which a settings toggle must never do.
  if (!state_.status.is(ConnectionStatus::Kind::connected)) co_return;
  refreshPulse();
  refreshNow();
}

}  // namespace quorvin
