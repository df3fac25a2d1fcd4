#include "platform/VirtualClock.h"

#include <boost/asio/append.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <vector>

#include "platform/Runtime.h"

namespace quorvin {

namespace asio = boost::asio;

struct VirtualClock::CancelSleep {
  VirtualClock* clock;
  uint64_t id;
  void operator()(asio::cancellation_type type) const {
    if (type != asio::cancellation_type::none) clock->cancelSleeper(id);
  }
};

struct VirtualClock::Initiation {
  VirtualClock* clock;
  Duration duration;

  template <class Handler>
  void operator()(Handler&& handler) const {
    if (duration <= Duration::zero()) {
      Sleeper(std::forward<Handler>(handler)).post(boost::system::error_code());
      return;
    }
    Sleeper sleeper(std::forward<Handler>(handler));
    auto slot = sleeper.cancellationSlot();
    std::lock_guard lock(clock->mutex_);
    const uint64_t id = clock->nextId_++;
    if (slot.is_connected()) slot.template emplace<CancelSleep>(CancelSleep{clock, id});
    clock->sleepers_.emplace(clock->now_ + duration, std::make_pair(id, std::move(sleeper)));
  }
};

VirtualClock::VirtualClock(WallTime start) : now_(start) {}

VirtualClock::~VirtualClock() {
  // Sleepers still waiting own suspended coroutines; they are destroyed here, so a test
  // must destroy the clock before the runtime whose executors those coroutines use.
  decltype(sleepers_) left;
  {
    std::lock_guard lock(mutex_);
    left.swap(sleepers_);
  }
}

WallTime VirtualClock::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

asio::awaitable<void> VirtualClock::sleep(Duration duration) {
  co_await asio::async_initiate<const asio::use_awaitable_t<>, void(boost::system::error_code)>(
      Initiation{this, duration}, asio::use_awaitable);
}

void VirtualClock::wake(decltype(sleepers_)::node_type node, boost::system::error_code ec) {
  node.mapped().second.post(ec);
}

void VirtualClock::cancelSleeps() {
  decltype(sleepers_) all;
  {
    std::lock_guard lock(mutex_);
    all.swap(sleepers_);
  }
  while (!all.empty()) wake(all.extract(all.begin()), asio::error::operation_aborted);
}

void VirtualClock::cancelSleeper(uint64_t id) {
  decltype(sleepers_)::node_type node;
  {
    std::lock_guard lock(mutex_);
    for (auto it = sleepers_.begin(); it != sleepers_.end(); ++it) {
      if (it->second.first == id) {
        node = sleepers_.extract(it);
        break;
      }
    }
  }
  if (node) wake(std::move(node), asio::error::operation_aborted);
}

void VirtualClock::advance(Duration duration) {
  std::vector<decltype(sleepers_)::node_type> due;
  {
    std::lock_guard lock(mutex_);
    now_ += duration;
    while (!sleepers_.empty() && sleepers_.begin()->first <= now_) due.push_back(sleepers_.extract(sleepers_.begin()));
  }
  for (auto& node : due) wake(std::move(node), {});
}

bool VirtualClock::advanceToNextSleep() {
  Duration step;
  {
    std::lock_guard lock(mutex_);
    if (sleepers_.empty()) return false;
    step = std::chrono::duration_cast<Duration>(sleepers_.begin()->first - now_);
    if (step < Duration::zero()) step = Duration::zero();
  }
  advance(step);
  return true;
}

std::size_t VirtualClock::sleepers() const {
  std::lock_guard lock(mutex_);
  return sleepers_.size();
}

bool VirtualClock::run(Runtime& runtime, const std::function<bool()>& done) {
  auto& model = runtime.modelContext();
  auto guard = asio::make_work_guard(model);
  model.restart();
  for (;;) {
    if (done()) return true;
    if (model.stopped()) return false;
    if (model.poll_one() > 0) continue;
    if (runtime.pending().inFlight() > 0) {
      // Real work elsewhere: wait for it (its result is posted here) in real time.
      model.run_one_for(std::chrono::milliseconds(1));
      continue;
    }
    // Pool work posts its result before it stops counting; look once more.
    if (model.poll_one() > 0) continue;
    if (!advanceToNextSleep()) return done();
  }
}

void VirtualClock::runUntilIdle(Runtime& runtime) {
  run(runtime, [] { return false; });
}

}  // namespace quorvin
