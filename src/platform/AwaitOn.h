#pragma once

#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <exception>
#include <memory>
#include <type_traits>
#include <utility>

namespace quorvin {

namespace detail {

// What the caller's cancellation and the work share. Both fields are touched only on the
// work's executor, which runs one handler at a time (a strand or a one-thread context).
struct CrossExecutorCancellation {
  boost::asio::cancellation_signal signal;
  bool ended = false;
};

template <class T>
boost::asio::awaitable<T> endMarked(std::shared_ptr<CrossExecutorCancellation> shared,
                                    boost::asio::awaitable<T> work) {
  struct MarkEnded {
    CrossExecutorCancellation* shared;
    ~MarkEnded() { shared->ended = true; }
  } markEnded{shared.get()};
  if constexpr (std::is_void_v<T>) {
    co_await std::move(work);
  } else {
    co_return co_await std::move(work);
  }
}

template <class T>
struct SpawnedSignature {
  using type = void(std::exception_ptr, T);
};
template <>
struct SpawnedSignature<void> {
  using type = void(std::exception_ptr);
};

// The caller's completion handler, holding the shared signal until the work's coroutine has
// let go of it: the spawned coroutine's cancellation state lives inside that signal.
template <class Handler>
struct HoldingCancellation {
  std::shared_ptr<CrossExecutorCancellation> shared;
  Handler handler;

  using executor_type = boost::asio::associated_executor_t<Handler>;
  executor_type get_executor() const noexcept { return boost::asio::get_associated_executor(handler); }

  template <class... Args>
  void operator()(Args&&... args) {
    std::move(handler)(std::forward<Args>(args)...);
  }
};

template <class Executor>
struct SpawnOnExecutor {
  Executor executor;

  template <class Handler, class T>
  void operator()(Handler handler, boost::asio::awaitable<T> work) const {
    auto shared = std::make_shared<CrossExecutorCancellation>();
    // The caller's emit hops to the work's executor holding the shared signal, and is dropped
    // there once the work has ended.
    auto callerSlot = boost::asio::get_associated_cancellation_slot(handler);
    if (callerSlot.is_connected()) {
      callerSlot.assign([shared, executor = executor](boost::asio::cancellation_type type) {
        boost::asio::dispatch(executor, [shared, type] {
          if (!shared->ended) shared->signal.emit(type);
        });
      });
    }
    // The work's slot is bound on its executor, ahead of any emit dispatched after it.
    auto spawn = [shared, executor = executor, handler = std::move(handler), work = std::move(work)]() mutable {
      auto body = endMarked(shared, std::move(work));
      auto slot = shared->signal.slot();
      boost::asio::co_spawn(executor, std::move(body),
                            boost::asio::bind_cancellation_slot(
                                slot, HoldingCancellation<Handler>{std::move(shared), std::move(handler)}));
    };
    boost::asio::dispatch(executor, std::move(spawn));
  }
};

}  // namespace detail

// Runs `work` on `executor` (a strand or a one-thread context) and resumes the caller on its
// own executor with the result or the exception, passing the caller's cancellation on.
//
// Plain co_spawn(executor, work, use_awaitable) passes cancellation by posting to `executor`
// a pointer into the caller's slot; when the work ends before that post runs, the post emits
// into freed memory (Boost 1.81; it crashed our shutdown). Use this instead whenever the
// work's executor is not the caller's.
template <class T, class Executor>
boost::asio::awaitable<T> awaitOn(Executor executor, boost::asio::awaitable<T> work) {
  using Signature = typename detail::SpawnedSignature<T>::type;
  detail::SpawnOnExecutor<Executor> initiation{executor};
  // Named first: GCC 12 destroys temporaries of a co_await expression twice.
  auto spawned = boost::asio::async_initiate<const boost::asio::use_awaitable_t<>, Signature>(
      initiation, boost::asio::use_awaitable, std::move(work));
  if constexpr (std::is_void_v<T>) {
    co_await std::move(spawned);
  } else {
    co_return co_await std::move(spawned);
  }
}

}  // namespace quorvin
