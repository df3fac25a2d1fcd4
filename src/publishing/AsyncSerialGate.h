#pragma once

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/awaitable.hpp>
#include <cstddef>
#include <deque>
#include <mutex>

#include "platform/PendingHandler.h"

namespace quorvin {

// First-in first-out mutual exclusion for asynchronous sections: a section may suspend in
// the middle and still never overlaps another run of the same section. No time-out, no
// reentrancy (a holder that acquires again waits for itself forever).
//
// acquire() hands out a Lease that gives the gate up when it goes away, so every path out
// of a section releases it, including a cancelled task unwinding. The gate does not observe
// cancellation while a caller waits: a cancelled waiter still receives the gate in turn, and
// its lease passes it on as soon as the waiter unwinds.
class AsyncSerialGate {
 public:
  class [[nodiscard]] Lease {
   public:
    Lease() = default;
    Lease(Lease&& other) noexcept : gate_(other.gate_) { other.gate_ = nullptr; }
    Lease& operator=(Lease&& other) noexcept;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() { release(); }
    // Gives the gate up now; later calls do nothing.
    void release();
    bool holds() const { return gate_ != nullptr; }

   private:
    friend class AsyncSerialGate;
    explicit Lease(AsyncSerialGate* gate) : gate_(gate) {}
    AsyncSerialGate* gate_ = nullptr;
  };

  AsyncSerialGate() = default;
  AsyncSerialGate(const AsyncSerialGate&) = delete;
  AsyncSerialGate& operator=(const AsyncSerialGate&) = delete;

  // Returns once the caller holds the gate. The waiter resumes on its own executor.
  boost::asio::awaitable<Lease> acquire();

  bool locked() const;
  std::size_t waiting() const;

 private:
  struct Enqueue;
  void release();

  mutable std::mutex mutex_;
  bool locked_ = false;
  std::deque<PendingHandler<void()>> waiters_;
};

}  // namespace quorvin
