#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <cstddef>
#include <optional>

#include "platform/BlockingPool.h"
#include "platform/PendingWork.h"

namespace quorvin {

// The program's threads: the model thread (one io_context; the connection manager and every
// step that touches the model run there) and the blocking pool. Long work runs on the pool
// and hops back before it touches the model.
class Runtime {
 public:
  explicit Runtime(std::size_t poolThreads = 4);
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  using ModelExecutor = boost::asio::io_context::executor_type;

  boost::asio::io_context& modelContext() { return model_; }
  ModelExecutor model() { return model_.get_executor(); }
  BlockingPool& pool() { return pool_; }
  PendingWork& pending() { return pending_; }

  // Runs the model thread on the calling thread until stop(); keeps running while idle.
  void run();
  void stop();

 private:
  PendingWork pending_;
  boost::asio::io_context model_{1};
  BlockingPool pool_;
};

}  // namespace quorvin
