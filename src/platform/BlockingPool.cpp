#include "platform/BlockingPool.h"

namespace quorvin {

BlockingPool::BlockingPool(PendingWork& pending, std::size_t threads) : pending_(pending), pool_(threads) {}

BlockingPool::~BlockingPool() { join(); }

TrackedExecutor BlockingPool::executor() {
  return TrackedExecutor(boost::asio::require(pool_.get_executor(), boost::asio::execution::blocking.never),
                         &pending_);
}

void BlockingPool::join() { pool_.join(); }

}  // namespace quorvin
