// The public candle loop: the service's live chart of this profile, fetched every 5 s
// while the dashboard is open.
#include <algorithm>
#include <boost/asio/this_coro.hpp>

#include "publishing/ConnectionManager.h"

namespace quorvin {

namespace asio = boost::asio;

void ConnectionManager::startPublicCandleUpdatesIfNeeded() {
  assertOnModel();
  if (!menuBarPopoverVisible_ || !state_.status.is(ConnectionStatus::Kind::connected) || state_.login.empty() ||
      publicCandleTask_) {
    return;
  }
  const uint64_t attempt = ++publicCandleAttempt_;
  publicCandleTask_ = spawn(candleLoop(attempt));
}

void ConnectionManager::stopPublicCandleUpdates() {
  assertOnModel();
  ++publicCandleAttempt_;
  if (publicCandleTask_) publicCandleTask_->cancel();
  publicCandleTask_.reset();
}

asio::awaitable<void> ConnectionManager::candleLoop(uint64_t attempt) {
  auto cancellation = co_await asio::this_coro::cancellation_state;
  auto running = [&] {
    return cancellation.cancelled() == asio::cancellation_type::none && publicCandleAttempt_ == attempt &&
           menuBarPopoverVisible_ && state_.status.is(ConnectionStatus::Kind::connected);
  };
  try {
    while (running()) {
      std::optional<API::LiveCandleFrame> frame;
      try {
        auto fetching = API::liveCandles(services_.http, services_.api, state_.login, 45);
        frame = co_await std::move(fetching);
      } catch (const boost::system::system_error&) {
        throw;
      } catch (const std::exception&) {
        // Keep the last values; the next turn tries again.
      }
      if (frame && running()) {
        auto& s = edit();
        s.publicCandles = std::move(frame->candles);
        s.publicCandleState = frame->state.value_or("empty");
        s.publicCandleStale = frame->stale.value_or(true);
        s.publicCandleTokenRate = std::max(frame->tokenRate.value_or(0), 0.0);
        s.publicCandleCostRate = std::max(frame->costRate.value_or(0), 0.0);
        s.publicCandleBucketMs = std::max(frame->bucketMs.value_or(1000), 1000.0);
      }
      auto sleeping = services_.clock.sleep(std::chrono::duration_cast<Duration>(rules::kCandlePeriod));
      co_await std::move(sleeping);
    }
  } catch (const boost::system::system_error&) {
    // Stopped.
  }
  if (publicCandleAttempt_ == attempt) publicCandleTask_.reset();
}

}  // namespace quorvin
