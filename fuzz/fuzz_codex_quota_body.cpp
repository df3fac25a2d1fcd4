// The Codex usage body and auth file come from outside: any bytes must parse to a sane
// snapshot or nothing.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sources/ProviderQuotaParser.h"
#include "sources/ProviderQuotaPresentation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quorvin;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const WallTime now = WallTime(std::chrono::seconds(1'767'225'600));
  if (const auto snapshot = ProviderQuotaParser::codex(bytes, now)) {
    if (snapshot->windows.size() > 2) std::abort();
    for (const auto& window : snapshot->windows) {
      if (!(window.usedPercent >= 0 && window.usedPercent <= 100)) std::abort();
      (void)ProviderQuotaPresentation::resetText(window.resetsAt, now);
    }
    if ((snapshot->availability == ProviderQuotaAvailability::available) == snapshot->windows.empty()) std::abort();
  }
  (void)ProviderQuotaParser::codexCredential(bytes);
  return 0;
}
