#include "publishing/AsyncSerialGate.h"

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace quorvin {

namespace asio = boost::asio;

struct AsyncSerialGate::Enqueue {
  AsyncSerialGate* gate;
  template <class Handler>
  void operator()(Handler&& handler) const {
    std::unique_lock lock(gate->mutex_);
    if (gate->locked_) {
      gate->waiters_.emplace_back(std::forward<Handler>(handler));
      return;
    }
    // Freed between the first look and now (another thread released it).
    gate->locked_ = true;
    lock.unlock();
    PendingHandler<void()>(std::forward<Handler>(handler)).post();
  }
};

asio::awaitable<AsyncSerialGate::Lease> AsyncSerialGate::acquire() {
  {
    std::lock_guard lock(mutex_);
    if (!locked_) {
      locked_ = true;
      co_return Lease(this);
    }
  }
  co_await asio::async_initiate<const asio::use_awaitable_t<>, void()>(Enqueue{this}, asio::use_awaitable);
  co_return Lease(this);
}

void AsyncSerialGate::release() {
  std::unique_lock lock(mutex_);
  if (waiters_.empty()) {
    locked_ = false;
    return;
  }
  // Ownership passes straight to the first waiter: `locked_` stays true, so no newcomer
  // can slip in before that waiter resumes.
  auto next = std::move(waiters_.front());
  waiters_.pop_front();
  lock.unlock();
  next.post();
}

bool AsyncSerialGate::locked() const {
  std::lock_guard lock(mutex_);
  return locked_;
}

std::size_t AsyncSerialGate::waiting() const {
  std::lock_guard lock(mutex_);
  return waiters_.size();
}

AsyncSerialGate::Lease& AsyncSerialGate::Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    release();
    gate_ = other.gate_;
    other.gate_ = nullptr;
  }
  return *this;
}

void AsyncSerialGate::Lease::release() {
  if (gate_) {
    auto* gate = gate_;
    gate_ = nullptr;
    gate->release();
  }
}

}  // namespace quorvin
