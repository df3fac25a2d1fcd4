// The Grok CLI's auth file is written by another program.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sources/ProviderQuotaParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (const auto credential = quorvin::ProviderQuotaParser::grokCredential(bytes)) {
    if (credential->accessToken.empty()) std::abort();
  }
  return 0;
}
