// Probe latency against a real keyring. Run it in a private one:
//   tests/support/with-keyring build/bench/credential_store_bench
#include <benchmark/benchmark.h>
#include <libsecret/secret.h>

#include <cstdlib>

#include "publishing/CredentialStore.h"
#include "platform/MemoryUserDefaults.h"

namespace {

using namespace quorvin;

bool privateKeyring(benchmark::State& state) {
  const char* mode = std::getenv("QUORVIN_TEST_PRIVATE_KEYRING");
  if (mode != nullptr && std::string(mode) == "keyring") return true;
  state.SkipWithError("run under tests/support/with-keyring");
  return false;
}

void setLocked(bool locked) {
  SecretService* secrets = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, nullptr);
  SecretCollection* collection =
      secret_collection_for_alias_sync(secrets, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, nullptr);
  GList objects{collection, nullptr, nullptr};
  if (locked) secret_service_lock_sync(secrets, &objects, nullptr, nullptr, nullptr);
  g_object_unref(collection);
  g_object_unref(secrets);
}

// Arg 0: this build's token present; 1: nothing stored (probe runs the legacy scan);
// 2: the token in a locked keyring (last, since the lock cannot be undone without a prompt).
void BM_Probe(benchmark::State& state) {
  if (!privateKeyring(state)) return;
  MemoryUserDefaults defaults;
  CredentialStore store(makeSecretServiceStore(), defaults, "0123456789abcdef01234567");
  // The benchmark library calls this more than once per argument; once locked, the setup can only fail.
  try {
    store.deleteDeviceTokens(false);
    if (state.range(0) != 1) store.saveDeviceToken("bench-token", store.mutationGeneration());
  } catch (const StoreError&) {
  }
  if (state.range(0) == 2) setLocked(true);
  for (auto _ : state) benchmark::DoNotOptimize(store.probeDeviceToken());
}
BENCHMARK(BM_Probe)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
