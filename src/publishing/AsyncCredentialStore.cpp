#include "publishing/AsyncCredentialStore.h"

#include <mutex>

namespace quorvin {

// Each job is named before its co_await: GCC 12 destroys lambdas created inside one twice.

boost::asio::awaitable<TokenProbe> AsyncCredentialStore::probe() {
  CredentialStore* store = &store_;
  auto job = [store] { return store->probeDeviceToken(); };
  co_return co_await runBlocking(pool_, job);
}

boost::asio::awaitable<TokenProbe> AsyncCredentialStore::locate() {
  CredentialStore* store = &store_;
  auto job = [store] {
    std::lock_guard lock(store->interactionLock());
    return store->locateDeviceToken();
  };
  co_return co_await runBlocking(pool_, job);
}

boost::asio::awaitable<void> AsyncCredentialStore::save(std::string token, int64_t expectedGeneration) {
  CredentialStore* store = &store_;
  auto job = [store, &token, expectedGeneration] { store->saveDeviceToken(token, expectedGeneration); };
  co_await runBlocking(pool_, job);
}

boost::asio::awaitable<void> AsyncCredentialStore::deleteAll(bool allowInteraction) {
  CredentialStore* store = &store_;
  auto job = [store, allowInteraction] { store->deleteDeviceTokens(allowInteraction); };
  co_await runBlocking(pool_, job);
}

boost::asio::awaitable<int64_t> AsyncCredentialStore::mutationGeneration() {
  CredentialStore* store = &store_;
  auto job = [store] { return store->mutationGeneration(); };
  co_return co_await runBlocking(pool_, job);
}

boost::asio::awaitable<int64_t> AsyncCredentialStore::raiseMutationGeneration() {
  CredentialStore* store = &store_;
  auto job = [store] { return store->raiseMutationGeneration(); };
  co_return co_await runBlocking(pool_, job);
}

}  // namespace quorvin
