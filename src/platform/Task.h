#pragma once

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/PendingHandler.h"

namespace quorvin {

// A running coroutine with a cancellation signal. Copies share the same task; dropping
// every copy does not stop the coroutine (it runs to its end on its executor).
//
// Cancellation is cooperative: cancel() interrupts the sleep or wait the body is in
// (it throws boost::asio::error::operation_aborted) and every later co_await throws too,
// so a body ends at its next suspension unless it catches the error.
class Task {
 public:
  Task() = default;

  template <class Executor>
  static Task start(const Executor& executor, boost::asio::awaitable<void> body) {
    auto state = std::make_shared<State>(boost::asio::any_io_executor(executor));
    boost::asio::co_spawn(executor, guarded(state, std::move(body)),
                          boost::asio::bind_cancellation_slot(state->signal.slot(), Finish{state}));
    return Task(std::move(state));
  }

  bool valid() const { return state_ != nullptr; }
  bool ended() const;
  bool cancelRequested() const;
  // Asks the body to stop; delivered on the task's executor. No effect once it has ended.
  void cancel() const;
  // Resumes the caller (on its own executor) once the body has ended; at once if it has.
  // Never throws what the body threw; the waiting itself ignores cancellation.
  boost::asio::awaitable<void> wait() const;
  // The exception the body ended with, other than cancellation; null otherwise.
  std::exception_ptr failure() const;

 private:
  struct State {
    explicit State(boost::asio::any_io_executor executor) : executor(std::move(executor)) {}
    boost::asio::any_io_executor executor;
    boost::asio::cancellation_signal signal;  // touched only on the task's executor
    mutable std::mutex mutex;
    bool ended = false;
    bool cancelRequested = false;
    std::exception_ptr failure;
    std::vector<PendingHandler<void()>> waiters;
  };
  struct Finish {
    std::shared_ptr<State> state;
    void operator()(std::exception_ptr error) const;
  };
  struct Emit;
  struct WaitInitiation;

  explicit Task(std::shared_ptr<State> state) : state_(std::move(state)) {}
  // Ends at once when cancel() came before the body could start.
  static boost::asio::awaitable<void> guarded(std::shared_ptr<State> state, boost::asio::awaitable<void> body);

  std::shared_ptr<State> state_;
};

// Tasks that were replaced: cancelled, and kept until they end so that an owner can await
// every one of them (for example before it clears the state they would touch).
class RetiredTasks {
 public:
  void retire(Task task);
  // Tasks retired and not ended yet.
  std::size_t size();
  boost::asio::awaitable<void> waitAll();

 private:
  std::optional<Task> firstRunning();

  std::mutex mutex_;
  std::vector<Task> tasks_;
};

}  // namespace quorvin
