// The release manifest comes from the network: any bytes must be safe, and whatever is
// trusted must really be a ready, newer release with a version safe for a file name.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "update/UpdateChecker.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto manifest = quorvin::UpdateChecker::trustedManifest(text, "1.0.0")) {
    if (!manifest->releaseReady() || !quorvin::UpdateChecker::isUsableVersion(manifest->appVersion) ||
        manifest->appVersion.find('/') != std::string::npos ||
        !quorvin::UpdateChecker::isNewer(manifest->appVersion, "1.0.0")) {
      __builtin_trap();
    }
  }
  // Comparing arbitrary texts as versions must be safe and antisymmetric.
  const std::string_view a = text.substr(0, size / 2), b = text.substr(size / 2);
  if (quorvin::UpdateChecker::isNewer(a, b) && quorvin::UpdateChecker::isNewer(b, a)) __builtin_trap();
  return 0;
}
