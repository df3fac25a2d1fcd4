#include "platform/Task.h"

#include <boost/asio/append.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>
#include <algorithm>
#include <optional>

namespace quorvin {

namespace asio = boost::asio;

namespace {

bool isCancellation(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const boost::system::system_error& e) {
    return e.code() == asio::error::operation_aborted;
  } catch (...) {
    return false;
  }
}

}  // namespace

struct Task::Emit {
  std::shared_ptr<State> state;
  void operator()() const {
    {
      std::lock_guard lock(state->mutex);
      if (state->ended) return;
    }
    state->signal.emit(asio::cancellation_type::terminal);
  }
};

struct Task::WaitInitiation {
  std::shared_ptr<State> state;
  template <class Handler>
  void operator()(Handler&& handler) const {
    std::unique_lock lock(state->mutex);
    if (!state->ended) {
      state->waiters.emplace_back(std::forward<Handler>(handler));
      return;
    }
    lock.unlock();
    PendingHandler<void()>(std::forward<Handler>(handler)).post();
  }
};

void Task::Finish::operator()(std::exception_ptr error) const {
  std::vector<PendingHandler<void()>> waiters;
  {
    std::lock_guard lock(state->mutex);
    state->ended = true;
    if (error && !isCancellation(error)) state->failure = error;
    waiters.swap(state->waiters);
  }
  for (auto& waiter : waiters) waiter.post();
}

asio::awaitable<void> Task::guarded(std::shared_ptr<State> state, asio::awaitable<void> body) {
  {
    std::lock_guard lock(state->mutex);
    if (state->cancelRequested) throw boost::system::system_error(asio::error::operation_aborted);
  }
  state.reset();  // the body alone keeps what it needs
  co_await std::move(body);
}

bool Task::ended() const {
  if (!state_) return true;
  std::lock_guard lock(state_->mutex);
  return state_->ended;
}

bool Task::cancelRequested() const {
  if (!state_) return false;
  std::lock_guard lock(state_->mutex);
  return state_->cancelRequested;
}

void Task::cancel() const {
  if (!state_) return;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->ended) return;
    state_->cancelRequested = true;
  }
  asio::dispatch(state_->executor, Emit{state_});
}

asio::awaitable<void> Task::wait() const {
  if (!state_) co_return;
  // A named initiation: GCC 12 destroys temporaries of a co_await expression twice.
  WaitInitiation initiation{state_};
  co_await asio::async_initiate<const asio::use_awaitable_t<>, void()>(initiation, asio::use_awaitable);
}

std::exception_ptr Task::failure() const {
  if (!state_) return nullptr;
  std::lock_guard lock(state_->mutex);
  return state_->failure;
}

void RetiredTasks::retire(Task task) {
  task.cancel();
  std::lock_guard lock(mutex_);
  tasks_.push_back(std::move(task));
}

std::size_t RetiredTasks::size() {
  std::lock_guard lock(mutex_);
  std::erase_if(tasks_, [](const Task& task) { return task.ended(); });
  return tasks_.size();
}

std::optional<Task> RetiredTasks::firstRunning() {
  std::lock_guard lock(mutex_);
  std::erase_if(tasks_, [](const Task& task) { return task.ended(); });
  if (tasks_.empty()) return std::nullopt;
  return tasks_.front();
}

asio::awaitable<void> RetiredTasks::waitAll() {
  for (;;) {
    std::optional<Task> next = firstRunning();
    if (!next) break;
    co_await next->wait();
  }
}

}  // namespace quorvin
