#pragma once

#include <atomic>
#include <cstddef>

namespace quorvin {

// Counts work that runs away from the model thread (pool handlers, child processes). A
// virtual clock reads it: time may only jump while nothing is in flight, so a test never
// skips past a deadline while real work is still under way.
class PendingWork {
 public:
  class Token {
   public:
    Token() = default;
    explicit Token(PendingWork& work) : work_(&work) { work_->count_.fetch_add(1, std::memory_order_acq_rel); }
    Token(Token&& other) noexcept : work_(other.work_) { other.work_ = nullptr; }
    Token& operator=(Token&& other) noexcept {
      if (this != &other) {
        reset();
        work_ = other.work_;
        other.work_ = nullptr;
      }
      return *this;
    }
    Token(const Token&) = delete;
    Token& operator=(const Token&) = delete;
    ~Token() { reset(); }
    void reset() {
      if (work_) work_->count_.fetch_sub(1, std::memory_order_acq_rel);
      work_ = nullptr;
    }

   private:
    PendingWork* work_ = nullptr;
  };

  Token begin() { return Token(*this); }
  std::size_t inFlight() const { return count_.load(std::memory_order_acquire); }

 private:
  std::atomic<std::size_t> count_{0};
};

}  // namespace quorvin
