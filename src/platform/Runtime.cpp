#include "platform/Runtime.h"

namespace quorvin {

Runtime::Runtime(std::size_t poolThreads) : pool_(pending_, poolThreads) {}

// The pool stops first: its last handlers may still post to the model context, which must
// outlive them.
Runtime::~Runtime() { pool_.join(); }

void Runtime::run() {
  auto guard = boost::asio::make_work_guard(model_);
  model_.restart();
  model_.run();
}

void Runtime::stop() { model_.stop(); }

}  // namespace quorvin
