// The server's reading of a download's Range header: any text gives a range inside the file.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "server/http/RequestChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint64_t fileSize = 0;
  if (size >= sizeof fileSize) {
    std::memcpy(&fileSize, data, sizeof fileSize);
    fileSize %= (1ULL << 40);
    data += sizeof fileSize;
    size -= sizeof fileSize;
  }
  const std::string_view header(reinterpret_cast<const char*>(data), size);
  const auto range = quorvin::server::parseRange(header, fileSize);
  if (range.kind == quorvin::server::ByteRange::Kind::partial &&
      (range.first > range.last || range.last >= fileSize)) {
    __builtin_trap();
  }
  return 0;
}
