// The ledger's cache: any bytes either decode into sound records or are refused, and a
// decoded cache merges and encodes back into a cache that decodes.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ledger/LedgerCache.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quorvin::ledger;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto contents = LedgerCache::decode(bytes);
  if (!contents) return 0;
  std::vector<const ScannedFile*> views;
  std::vector<const LogFileTally*> tallies;
  for (const auto& file : contents->files) {
    views.push_back(file.get());
    tallies.push_back(&file->tally);
  }
  // Merging reads the message blocks in place.
  (void)mergeTallies(tallies);
  // Maps hold one entry per key, so a cache with repeated keys shrinks on the way back;
  // it must still decode.
  if (!LedgerCache::decode(LedgerCache::encode(views, *contents->cells))) std::abort();
  return 0;
}
