// Info.json is read from a downloaded bundle before its signature is checked.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "update/BundleSignature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto info = quorvin::BundleInfo::parse(text)) {
    // What was read writes back to an equal identity.
    auto again = quorvin::BundleInfo::parse(info->serialize());
    if (!again || again->identifier != info->identifier || again->previewBuild != info->previewBuild) __builtin_trap();
    info->matchesRelease("1.0.0");
  }
  return 0;
}
