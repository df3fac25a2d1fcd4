#pragma once

#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <string>

#include "platform/BlockingPool.h"
#include "publishing/CredentialStore.h"

namespace quorvin {

// The credential store as the model thread uses it: every call runs on the blocking pool (the
// Secret Service and the locks may block) and resumes the caller on its own executor. Errors
// arrive as the StoreError the blocking call threw. Cancelling the caller does not interrupt a
// call already running; the probe is quick, and the others must finish anyway.
class AsyncCredentialStore {
 public:
  AsyncCredentialStore(CredentialStore& store, BlockingPool& pool) : store_(store), pool_(pool) {}

  // Never prompts.
  boost::asio::awaitable<TokenProbe> probe();
  // May prompt; holds the interaction lock around the search.
  boost::asio::awaitable<TokenProbe> locate();
  // Saves unless the generation moved past `expectedGeneration` (then StoreError cancelled).
  boost::asio::awaitable<void> save(std::string token, int64_t expectedGeneration);
  boost::asio::awaitable<void> deleteAll(bool allowInteraction);
  boost::asio::awaitable<int64_t> mutationGeneration();
  // Raised on disconnect and revocation; returns the new value.
  boost::asio::awaitable<int64_t> raiseMutationGeneration();

  CredentialStore& store() { return store_; }

 private:
  CredentialStore& store_;
  BlockingPool& pool_;
};

}  // namespace quorvin
