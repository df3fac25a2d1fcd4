// The Cursor usage export (CSV) comes from the network: no input may crash the reader,
// and whatever it accepts must form a valid snapshot.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sources/CursorExport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto parsed = quorvin::CursorExport::parseExport(bytes, quorvin::WallTime{});
  if (parsed && !quorvin::CursorLedgerFormat::makeSnapshot(parsed->buckets, parsed->fetchedAt)) std::abort();
  return 0;
}
