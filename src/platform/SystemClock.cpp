#include "platform/SystemClock.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace quorvin {

WallTime SystemClock::now() const { return std::chrono::system_clock::now(); }

boost::asio::awaitable<void> SystemClock::sleep(Duration duration) {
  boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, duration);
  co_await timer.async_wait(boost::asio::use_awaitable);
}

}  // namespace quorvin
