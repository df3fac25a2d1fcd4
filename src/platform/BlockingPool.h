#pragma once

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/execution.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/require.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <exception>
#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

#include "platform/PendingWork.h"

namespace quorvin {

// An executor of the blocking pool that counts each handler as pending work from the
// moment it is submitted until it has run, so a virtual clock never jumps while the pool
// is busy. Strands over it (single instances with their own serial state) are counted too.
class TrackedExecutor {
 public:
  using Inner = std::decay_t<decltype(boost::asio::require(std::declval<boost::asio::thread_pool::executor_type>(),
                                                           boost::asio::execution::blocking.never))>;

  TrackedExecutor(Inner inner, PendingWork* pending) : inner_(std::move(inner)), pending_(pending) {}

  boost::asio::execution_context& query(boost::asio::execution::context_t) const noexcept {
    return boost::asio::query(inner_, boost::asio::execution::context);
  }
  static constexpr boost::asio::execution::blocking_t query(boost::asio::execution::blocking_t) noexcept {
    return boost::asio::execution::blocking.never;
  }
  TrackedExecutor require(boost::asio::execution::blocking_t::never_t) const { return *this; }

  template <class F>
  void execute(F&& f) const {
    inner_.execute(Counted<std::decay_t<F>>{std::forward<F>(f), pending_->begin()});
  }

  friend bool operator==(const TrackedExecutor& a, const TrackedExecutor& b) noexcept {
    return a.inner_ == b.inner_ && a.pending_ == b.pending_;
  }
  friend bool operator!=(const TrackedExecutor& a, const TrackedExecutor& b) noexcept { return !(a == b); }

 private:
  template <class F>
  struct Counted {
    F f;
    PendingWork::Token token;
    void operator()() {
      PendingWork::Token held = std::move(token);  // released after f, even if f throws
      f();
    }
  };

  Inner inner_;
  PendingWork* pending_;
};

// The thread pool for blocking work (files, child process set-up, HTTP, the Secret Service).
class BlockingPool {
 public:
  BlockingPool(PendingWork& pending, std::size_t threads);
  ~BlockingPool();
  BlockingPool(const BlockingPool&) = delete;
  BlockingPool& operator=(const BlockingPool&) = delete;

  TrackedExecutor executor();
  // A serial executor over the pool for a single instance that serialises its own state.
  boost::asio::strand<TrackedExecutor> makeStrand() { return boost::asio::strand<TrackedExecutor>(executor()); }
  PendingWork& pending() { return pending_; }
  // Waits for queued work and stops the threads; later submissions are dropped.
  void join();

 private:
  PendingWork& pending_;
  boost::asio::thread_pool pool_;
};

namespace detail {

struct RunOnPool {
  template <class Handler>
  void operator()(Handler&& handler, TrackedExecutor pool, std::function<void()>* job) const {
    auto home = boost::asio::get_associated_executor(handler);
    boost::asio::post(pool, Hop<std::decay_t<Handler>, decltype(home)>{std::forward<Handler>(handler), home, job});
  }

  template <class Handler, class Home>
  struct Hop {
    Handler handler;
    Home home;
    std::function<void()>* job;
    void operator()() {
      (*job)();
      // Back to the caller's executor; this runs inside a counted pool handler, so the
      // resumption is queued before the pool counts the work as done.
      boost::asio::post(home, std::move(handler));
    }
  };
};

}  // namespace detail

// Runs `fn` on the pool and resumes the caller on its own executor with the result (or the
// exception `fn` threw). Cancelling the caller does not interrupt `fn`: blocking work runs
// to its end, so it must be bounded by itself (time-outs, size limits).
template <class F>
auto runBlocking(BlockingPool& pool, F fn) -> boost::asio::awaitable<std::invoke_result_t<F&>> {
  using R = std::invoke_result_t<F&>;
  // Named, not temporaries in the co_await expressions: GCC 12 destroys those twice.
  TrackedExecutor executor = pool.executor();
  detail::RunOnPool initiation;
  std::exception_ptr error;
  if constexpr (std::is_void_v<R>) {
    std::function<void()> job = [&fn, &error] {
      try {
        fn();
      } catch (...) {
        error = std::current_exception();
      }
    };
    co_await boost::asio::async_initiate<const boost::asio::use_awaitable_t<>, void()>(
        initiation, boost::asio::use_awaitable, executor, &job);
    if (error) std::rethrow_exception(error);
  } else {
    std::optional<R> result;
    std::function<void()> job = [&fn, &error, &result] {
      try {
        result.emplace(fn());
      } catch (...) {
        error = std::current_exception();
      }
    };
    co_await boost::asio::async_initiate<const boost::asio::use_awaitable_t<>, void()>(
        initiation, boost::asio::use_awaitable, executor, &job);
    if (error) std::rethrow_exception(error);
    co_return std::move(*result);
  }
}

}  // namespace quorvin
