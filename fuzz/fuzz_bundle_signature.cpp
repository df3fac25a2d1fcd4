// Signature.json and Notarization.json are read from a downloaded bundle: any bytes must be
// safe, listed paths must stay inside the bundle, and canonical bytes must be stable.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "update/BundleSignature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto signature = quorvin::BundleSignature::parse(text)) {
    for (const auto& file : signature->files) {
      if (file.path.empty() || file.path.front() == '/' || file.path.find("..") == 0 ||
          file.path.find("/../") != std::string::npos) {
        __builtin_trap();
      }
    }
    auto again = quorvin::BundleSignature::parse(signature->serialize());
    if (!again || again->canonicalBytes() != signature->canonicalBytes()) __builtin_trap();
  }
  quorvin::BundleNotarization::parse(text);
  return 0;
}
