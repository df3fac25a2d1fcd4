#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace quorvin {

// Change notification for published properties. The owner calls changed() on the model
// thread after each change; every change made in one model-thread turn (one handler run)
// gives subscribers one notification, delivered on their own thread: posted to their
// executor, or handed to their own posting function (a Qt front end's queued call).
class ChangeNotifier {
 public:
  using Poster = std::function<void(std::function<void()>)>;

  // `model` is the executor of the thread that calls changed().
  explicit ChangeNotifier(boost::asio::any_io_executor model);
  ~ChangeNotifier();
  ChangeNotifier(const ChangeNotifier&) = delete;
  ChangeNotifier& operator=(const ChangeNotifier&) = delete;

  // Ends the subscription when destroyed. A notification already handed to the
  // subscriber's thread is dropped if the subscription ended before it runs there, so
  // destroy it on the subscriber's own thread.
  class Subscription {
   public:
    Subscription() = default;
    Subscription(Subscription&&) noexcept = default;
    Subscription& operator=(Subscription&& other) noexcept;
    ~Subscription();
    void reset();

   private:
    friend class ChangeNotifier;
    Subscription(std::weak_ptr<void> core, uint64_t id, std::shared_ptr<bool> alive);
    std::weak_ptr<void> core_;
    uint64_t id_ = 0;
    std::shared_ptr<bool> alive_;
  };

  [[nodiscard]] Subscription subscribe(boost::asio::any_io_executor where, std::function<void()> callback);
  [[nodiscard]] Subscription subscribe(Poster poster, std::function<void()> callback);

  void changed();
  // Notifications delivered to the model thread so far (each one a coalesced turn).
  uint64_t notifications() const;

 private:
  struct Core;
  struct Flush;
  std::shared_ptr<Core> core_;
};

}  // namespace quorvin
