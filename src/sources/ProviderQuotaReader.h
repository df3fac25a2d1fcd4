#pragma once

#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/Clock.h"
#include "platform/BlockingPool.h"
#include "platform/HttpClient.h"
#include "sources/ProviderQuotaSnapshot.h"

namespace quorvin {

// Reads the quota windows of the Codex and Grok Build plans: each provider's own sign-in
// file gives the bearer token, the provider's usage endpoint the used percentages. Tokens
// are only read, never refreshed or written. The reader keeps no state between fetches, so
// it needs no strand of its own; the two fetches run one after the other on the caller's
// executor.
class ProviderQuotaReader {
 public:
  // The providers' own hosts; tests point a reader at a loopback server instead.
  static constexpr std::string_view kCodexBaseUrl = "https://chatgpt.com";
  static constexpr std::string_view kGrokBaseUrl = "https://api.x.ai";
  static constexpr std::string_view kCodexUsagePath = "/backend-api/wham/usage";
  static constexpr std::string_view kGrokBillingPath = "/v1/billing?format=credits";
  // One bound for the whole request, the session's resource limit (its per-request
  // 60 s never applies).
  static constexpr std::chrono::milliseconds kTimeout{12'000};
  static constexpr size_t kMaxBodyBytes = 1024 * 1024;
  static constexpr size_t kMaxAuthFileBytes = 1024 * 1024;

  struct Config {
    std::filesystem::path codexAuthFile;  // ~/.codex/auth.json
    std::filesystem::path grokAuthFile;   // ~/.grok/auth.json
    std::string codexBaseUrl{kCodexBaseUrl};
    std::string grokBaseUrl{kGrokBaseUrl};
    std::chrono::milliseconds timeout = kTimeout;

    static Config forHome(const std::filesystem::path& home);
  };

  ProviderQuotaReader(Config config, HttpClient& http, const Clock& clock, BlockingPool& pool)
      : config_(std::move(config)), http_(http), clock_(clock), pool_(pool) {}

  // Never fail: a missing or malformed sign-in file, an expired credential, a transport
  // error, a status other than 200 or a body that does not parse gives the provider's
  // unavailable snapshot. A cancelled caller gets it too, before any file or network access.
  boost::asio::awaitable<ProviderQuotaSnapshot> fetchCodex();
  boost::asio::awaitable<ProviderQuotaSnapshot> fetchGrok();

  // The requests as sent (for tests of the headers).
  static HttpRequest codexRequest(std::string_view baseUrl, const std::string& accessToken,
                                  const std::string& accountId, std::chrono::milliseconds timeout);
  static HttpRequest grokRequest(std::string_view baseUrl, const std::string& accessToken,
                                 std::chrono::milliseconds timeout);

 private:
  boost::asio::awaitable<ProviderQuotaSnapshot> codexOrThrow();
  boost::asio::awaitable<ProviderQuotaSnapshot> grokOrThrow();
  boost::asio::awaitable<std::optional<std::string>> readFile(std::filesystem::path path);
  boost::asio::awaitable<std::optional<std::string>> okBody(HttpRequest request);

  const Config config_;
  HttpClient& http_;
  const Clock& clock_;
  BlockingPool& pool_;
};

}  // namespace quorvin
