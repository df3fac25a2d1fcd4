// Factory Droid settings files are written by another program: any bytes must be safe.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "usage/StructuredRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto usage = quorvin::StructuredRecord::droidSettings(text)) {
    if (usage->counters.total() < 1 || !usage->model || usage->model->empty()) __builtin_trap();
  }
  quorvin::StructuredRecord::droidModel(text);
  return 0;
}
