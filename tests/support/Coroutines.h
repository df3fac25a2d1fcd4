#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <exception>
#include <optional>
#include <stdexcept>

#include "platform/Runtime.h"
#include "platform/VirtualClock.h"

namespace quorvin::test {

// Runs an awaitable on a private io_context until it ends, rethrowing what it threw.
template <class T>
T runToEnd(boost::asio::io_context& io, boost::asio::awaitable<T> task) {
  auto future = boost::asio::co_spawn(io, std::move(task), boost::asio::use_future);
  io.restart();
  io.run();
  return future.get();
}

namespace detail {
// Spawns `operation` on the model thread and runs `loop(done)` until it ends.
template <class T, class Loop>
T onModel(Runtime& runtime, boost::asio::awaitable<T> operation, Loop&& loop) {
  std::optional<T> result;
  std::exception_ptr failure;
  bool done = false;
  boost::asio::co_spawn(runtime.model(), std::move(operation), [&](std::exception_ptr error, T value) {
    failure = error;
    if (!error) result.emplace(std::move(value));
    done = true;
  });
  loop([&] { return done; });
  if (failure) std::rethrow_exception(failure);
  if (!result) throw std::runtime_error("the task never ended");
  return std::move(*result);
}
template <class Loop>
void onModel(Runtime& runtime, boost::asio::awaitable<void> operation, Loop&& loop) {
  std::exception_ptr failure;
  bool done = false;
  boost::asio::co_spawn(runtime.model(), std::move(operation), [&](std::exception_ptr error) {
    failure = error;
    done = true;
  });
  loop([&] { return done; });
  if (failure) std::rethrow_exception(failure);
  if (!done) throw std::runtime_error("the task never ended");
}
}  // namespace detail

// Runs an awaitable on the runtime's model thread (this thread) in real time and returns its
// result, rethrowing what it threw.
template <class T>
T awaitOnModel(Runtime& runtime, boost::asio::awaitable<T> operation) {
  return detail::onModel(runtime, std::move(operation), [&](auto done) { runtime.runUntil(done); });
}

// The same under a virtual clock: timers fire as soon as the model thread is idle.
template <class T>
T driveOnModel(VirtualClock& clock, Runtime& runtime, boost::asio::awaitable<T> operation) {
  return detail::onModel(runtime, std::move(operation), [&](auto done) { clock.run(runtime, done); });
}

}  // namespace quorvin::test
