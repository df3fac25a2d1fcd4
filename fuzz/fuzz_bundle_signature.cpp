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
      // Every component is a plain name: no "", ".", ".." and no leading '/'.
      std::string_view rest = file.path;
      for (;;) {
        const size_t slash = rest.find('/');
        const std::string_view part = rest.substr(0, slash);
        if (part.empty() || part == "." || part == "..") __builtin_trap();
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
      }
    }
    auto again = quorvin::BundleSignature::parse(signature->serialize());
    if (!again || again->canonicalBytes() != signature->canonicalBytes()) __builtin_trap();
  }
  quorvin::BundleNotarization::parse(text);
  return 0;
}
