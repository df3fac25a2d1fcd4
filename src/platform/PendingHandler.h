#pragma once

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/post.hpp>
#include <tuple>
#include <utility>

namespace quorvin {

// A suspended caller kept by a wait queue (sleepers, gate waiters, task joiners): the
// completion handler with the executor it must be resumed on.
template <class Signature>
class PendingHandler;

template <class... Args>
class PendingHandler<void(Args...)> {
 public:
  PendingHandler() = default;
  template <class Handler>
  explicit PendingHandler(Handler&& handler)
      : executor_(boost::asio::get_associated_executor(handler)), handler_(std::forward<Handler>(handler)) {}

  explicit operator bool() const { return static_cast<bool>(handler_); }

  // Where a cancellation handler for this wait goes. Ask the stored handler, not the
  // original: wrapping the handler takes over the original's slot.
  boost::asio::cancellation_slot cancellationSlot() const { return handler_.get_cancellation_slot(); }

  // Queues the resumption on the caller's executor; never runs it inline.
  void post(Args... args) {
    auto slot = handler_.get_cancellation_slot();
    if (slot.is_connected()) slot.clear();
    boost::asio::post(executor_, Resume{std::move(handler_), std::make_tuple(std::move(args)...)});
  }

 private:
  struct Resume {
    boost::asio::any_completion_handler<void(Args...)> handler;
    std::tuple<Args...> args;
    void operator()() { std::apply(std::move(handler), std::move(args)); }
  };

  boost::asio::any_io_executor executor_;
  boost::asio::any_completion_handler<void(Args...)> handler_;
};

}  // namespace quorvin
