#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <exception>
#include <optional>

#include "platform/Runtime.h"

namespace quorvin::test {

// Runs an awaitable on the runtime's model thread (this thread) in real time and returns its
// result, rethrowing what it threw.
template <class T>
T awaitOnModel(Runtime& runtime, boost::asio::awaitable<T> operation) {
  std::optional<T> result;
  std::exception_ptr failure;
  bool done = false;
  boost::asio::co_spawn(runtime.model(), std::move(operation), [&](std::exception_ptr error, T value) {
    failure = error;
    if (!error) result.emplace(std::move(value));
    done = true;
  });
  runtime.runUntil([&] { return done; });
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

inline void awaitOnModel(Runtime& runtime, boost::asio::awaitable<void> operation) {
  std::exception_ptr failure;
  bool done = false;
  boost::asio::co_spawn(runtime.model(), std::move(operation), [&](std::exception_ptr error) {
    failure = error;
    done = true;
  });
  runtime.runUntil([&] { return done; });
  if (failure) std::rethrow_exception(failure);
}

}  // namespace quorvin::test
