#pragma once

#include <boost/asio/io_context.hpp>
#include <functional>
#include <memory>

namespace quorvin {

// The machine's sleep and wake, from logind's PrepareForSleep signal on the system bus.
// `changed(true)` comes just before sleeping, `changed(false)` after waking; both on the
// given io_context. Without a system bus (containers, some SSH sessions) nothing is ever
// reported and active() is false.
class SleepWatcher {
 public:
  SleepWatcher(boost::asio::io_context& context, std::function<void(bool sleeping)> changed);
  ~SleepWatcher();
  SleepWatcher(const SleepWatcher&) = delete;
  SleepWatcher& operator=(const SleepWatcher&) = delete;

  bool active() const;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace quorvin
