// Archive entry names and link targets come from the downloaded tarball: an accepted name
// must stay inside "Quorvin/" and be clean.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "update/BundleArchive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  const size_t split = text.find('\0');
  const std::string_view name = text.substr(0, split);
  if (auto clean = quorvin::BundleArchive::safeEntryName(name)) {
    const std::string_view c = *clean;
    if (!(c == "Quorvin" || c.starts_with("Quorvin/")) || c.find("//") != std::string_view::npos ||
        c.find("/../") != std::string_view::npos || c.ends_with("/..") || c.ends_with("/") ||
        c.find("/./") != std::string_view::npos) {
      __builtin_trap();
    }
    if (split != std::string_view::npos) {
      const std::string_view target = text.substr(split + 1);
      if (quorvin::BundleArchive::linkStaysInside(c, target) && (target.starts_with("/") || c == "Quorvin")) {
        __builtin_trap();
      }
    }
  }
  return 0;
}
