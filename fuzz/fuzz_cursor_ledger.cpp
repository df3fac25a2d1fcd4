// The ledger file may be damaged on disk: decoding never crashes, and anything accepted
// survives an encode and decode unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sources/CursorLedger.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace L = quorvin::CursorLedgerFormat;
  const auto ledger = L::decode(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!ledger) return 0;
  const auto again = L::decode(L::encode(*ledger));
  if (!again || L::encode(*again) != L::encode(*ledger)) std::abort();
  return 0;
}
