// OpenCode message rows are written by another program: any bytes must be safe.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "usage/StructuredRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto usage = quorvin::StructuredRecord::openCodeMessage(text)) {
    const auto& c = usage->counters;
    if (c.input < 0 || c.output < 0 || c.cacheRead < 0 || c.cacheWrite < 0 || c.total() <= 0) __builtin_trap();
  }
  return 0;
}
