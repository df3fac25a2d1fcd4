#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "presentation/PresentationState.h"

namespace quorvin::presentation {

// Where the UI gets its state: the newest immutable value, and a callback on every change.
// Callbacks may run on any thread; the UI hops to its own before reading.
class StateSource {
 public:
  virtual ~StateSource() = default;
  virtual std::shared_ptr<const PresentationState> current() const = 0;
  virtual void subscribe(std::function<void()> onChange) = 0;
};

// A StateSource the app (or a test, or the bench) publishes into.
class StateFeed final : public StateSource {
 public:
  StateFeed() : state_(std::make_shared<const PresentationState>()) {}

  std::shared_ptr<const PresentationState> current() const override {
    std::lock_guard lock(mutex_);
    return state_;
  }

  void subscribe(std::function<void()> onChange) override {
    std::lock_guard lock(mutex_);
    subscribers_.push_back(std::move(onChange));
  }

  void publish(PresentationState state) {
    std::vector<std::function<void()>> subscribers;
    {
      std::lock_guard lock(mutex_);
      state_ = std::make_shared<const PresentationState>(std::move(state));
      subscribers = subscribers_;
    }
    // Outside the lock: a subscriber may read current() at once.
    for (const auto& notify : subscribers) {
      notify();
    }
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const PresentationState> state_;
  std::vector<std::function<void()>> subscribers_;
};

}  // namespace quorvin::presentation
