#include "app/QuotaAndSavingsServices.h"

#include <cstdlib>

namespace quorvin::app {

namespace {

// QUORVIN_CODEX_BASE_URL and QUORVIN_GROK_BASE_URL point the reader at another host (a
// test server); only an https address is taken, since the request carries the sign-in.
std::string baseUrl(const char* variable, std::string_view fallback) {
  const char* value = std::getenv(variable);
  if (value == nullptr || std::string_view(value).rfind("https://", 0) != 0) return std::string(fallback);
  return value;
}

ProviderQuotaReader::Config quotaConfig(const Paths& paths) {
  auto config = ProviderQuotaReader::Config::forHome(paths.home);
  config.codexBaseUrl = baseUrl("QUORVIN_CODEX_BASE_URL", config.codexBaseUrl);
  config.grokBaseUrl = baseUrl("QUORVIN_GROK_BASE_URL", config.grokBaseUrl);
  return config;
}

}  // namespace

QuotaAndSavingsServices::QuotaAndSavingsServices() : quotas(quotaConfig(paths), http, clock, runtime.pool()) {}

}  // namespace quorvin::app
