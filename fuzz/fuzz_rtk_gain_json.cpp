// RTK's report and its other output come from an outside program.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "savings/TokenSavingsAdvisor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quorvin::TokenSavingsAdvisor;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (const auto gain = parseGain(bytes)) {
    quorvin::TokenSavingsSnapshot snapshot;
    snapshot.savedTokens = gain->totalSaved;
    const auto value = projection({{.name = "claude-sonnet-4-5", .input = gain->totalInput}}, gain->totalOutput,
                                  snapshot, gain->avgSavingsPct / 100);
    if (!std::isfinite(value.estimatedUSD) || value.estimatedUSD < 0 || value.tokens < 0) std::abort();
    if (!(value.inputPriceCoverage >= 0 && value.inputPriceCoverage <= 1)) std::abort();
  }
  (void)versionText(bytes);
  if (lastUsefulLine(bytes).empty()) std::abort();
  return 0;
}
