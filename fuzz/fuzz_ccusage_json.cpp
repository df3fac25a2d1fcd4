// ccusage's output and tokens ledgers are written by other programs.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "sources/CcusageJson.h"
#include "sources/CcusageMerge.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto tool = quorvin::CcusageJson::ccusageTotalsOfText(bytes);
  auto ledger = quorvin::CcusageJson::ledgerTotalsOfText(bytes);
  auto result = quorvin::CcusageMerge::reconcile(tool, ledger);
  if (result) quorvin::CcusageMerge::mergeModels(result->models, result->models);
  return 0;
}
