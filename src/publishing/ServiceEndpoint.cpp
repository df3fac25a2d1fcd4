#include "publishing/ServiceEndpoint.h"

#include <boost/url/parse.hpp>
#include <cstdlib>

namespace quorvin {

namespace {

std::optional<std::string> usable(std::string value) {
  while (!value.empty() && value.back() == '/') value.pop_back();
  auto parsed = boost::urls::parse_absolute_uri(value);
  if (!parsed || !parsed->has_authority() || parsed->host().empty()) return std::nullopt;
  if (parsed->scheme() != "https" && parsed->scheme() != "http") return std::nullopt;
  if (parsed->has_query() || parsed->has_fragment()) return std::nullopt;
  return value;
}

}  // namespace

std::string serviceBaseUrl(const UserDefaults& defaults) {
  if (const char* env = std::getenv(serviceUrlEnvironmentVariable); env != nullptr) {
    if (auto url = usable(env)) return *url;
  }
  if (auto stored = defaults.string(serviceUrlDefaultsKey)) {
    if (auto url = usable(*stored)) return *url;
  }
  return defaultServiceUrl;
}

}  // namespace quorvin
