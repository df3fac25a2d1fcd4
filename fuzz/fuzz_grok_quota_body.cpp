// The Grok Build billing body comes from outside.
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
  if (const auto snapshot = ProviderQuotaParser::grok(bytes, now)) {
    if (snapshot->windows.size() != 1) std::abort();
    const auto& window = snapshot->windows[0];
    if (!(window.usedPercent >= 0 && window.usedPercent <= 100)) std::abort();
    (void)ProviderQuotaPresentation::resetText(window.resetsAt, now);
  }
  return 0;
}
