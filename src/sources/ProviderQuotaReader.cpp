#include "sources/ProviderQuotaReader.h"

#include <boost/asio/this_coro.hpp>

#include "sources/ProviderQuotaParser.h"
#include "usage/BoundedFileRead.h"

namespace quorvin {

namespace {

using Provider = ProviderQuotaSnapshot::Provider;

boost::asio::awaitable<bool> cancelled() {
  const auto state = co_await boost::asio::this_coro::cancellation_state;
  co_return state.cancelled() != boost::asio::cancellation_type::none;
}

}  // namespace

ProviderQuotaReader::Config ProviderQuotaReader::Config::forHome(const std::filesystem::path& home) {
  Config config;
  config.codexAuthFile = home / ".codex" / "auth.json";
  config.grokAuthFile = home / ".grok" / "auth.json";
  return config;
}

HttpRequest ProviderQuotaReader::codexRequest(std::string_view baseUrl, const std::string& accessToken,
                                              const std::string& accountId, std::chrono::milliseconds timeout) {
  HttpRequest request;
  request.url = std::string(baseUrl) + std::string(kCodexUsagePath);
  request.headers = {{"Authorization", "Bearer " + accessToken},
                     {"Accept", "application/json"},
                     {"User-Agent", "Quorvin/0.5"}};
  if (!accountId.empty()) request.headers.emplace_back("ChatGPT-Account-ID", accountId);
  request.timeout = timeout;
  request.maxResponseBytes = kMaxBodyBytes;
  return request;
}

HttpRequest ProviderQuotaReader::grokRequest(std::string_view baseUrl, const std::string& accessToken,
                                             std::chrono::milliseconds timeout) {
  HttpRequest request;
  request.url = std::string(baseUrl) + std::string(kGrokBillingPath);
  request.headers = {{"Authorization", "Bearer " + accessToken},
                     {"Accept", "application/json"},
                     {"User-Agent", "xai-grok-cli/0.2.111"},
                     {"x-grok-client-version", "0.2.111"},
                     {"x-grok-client-mode", "cli"},
                     {"x-grok-client-identifier", "quorvin"}};
  request.timeout = timeout;
  request.maxResponseBytes = kMaxBodyBytes;
  return request;
}

boost::asio::awaitable<ProviderQuotaSnapshot> ProviderQuotaReader::fetchCodex() {
  if (co_await cancelled()) co_return ProviderQuotaSnapshot::unavailable(Provider::codex);
  try {
    auto fetching = codexOrThrow();
    co_return co_await std::move(fetching);
  } catch (...) {
    // Cancellation while waiting, or memory: the snapshot is simply unavailable this turn.
  }
  co_return ProviderQuotaSnapshot::unavailable(Provider::codex);
}

boost::asio::awaitable<ProviderQuotaSnapshot> ProviderQuotaReader::fetchGrok() {
  if (co_await cancelled()) co_return ProviderQuotaSnapshot::unavailable(Provider::grokBuild);
  try {
    auto fetching = grokOrThrow();
    co_return co_await std::move(fetching);
  } catch (...) {
  }
  co_return ProviderQuotaSnapshot::unavailable(Provider::grokBuild);
}

boost::asio::awaitable<ProviderQuotaSnapshot> ProviderQuotaReader::codexOrThrow() {
  const auto unavailable = ProviderQuotaSnapshot::unavailable(Provider::codex);
  auto reading = readFile(config_.codexAuthFile);
  const auto file = co_await std::move(reading);
  const auto credential = file ? ProviderQuotaParser::codexCredential(*file) : std::nullopt;
  if (!credential) co_return unavailable;

  auto sending = okBody(codexRequest(config_.codexBaseUrl, credential->accessToken, credential->accountId,
                                     config_.timeout));
  const auto body = co_await std::move(sending);
  if (!body) co_return unavailable;
  co_return ProviderQuotaParser::codex(*body, clock_.now()).value_or(unavailable);
}

boost::asio::awaitable<ProviderQuotaSnapshot> ProviderQuotaReader::grokOrThrow() {
  const auto unavailable = ProviderQuotaSnapshot::unavailable(Provider::grokBuild);
  auto reading = readFile(config_.grokAuthFile);
  const auto file = co_await std::move(reading);
  const auto credential = file ? ProviderQuotaParser::grokCredential(*file) : std::nullopt;
  if (!credential) co_return unavailable;
  // An expired sign-in would only be refused; the Grok CLI renews it the next time it runs.
  if (credential->expiresAt && *credential->expiresAt <= clock_.now()) co_return unavailable;

  auto sending = okBody(grokRequest(config_.grokBaseUrl, credential->accessToken, config_.timeout));
  const auto body = co_await std::move(sending);
  if (!body) co_return unavailable;
  co_return ProviderQuotaParser::grok(*body, clock_.now()).value_or(unavailable);
}

boost::asio::awaitable<std::optional<std::string>> ProviderQuotaReader::readFile(std::filesystem::path path) {
  auto read = [path = std::move(path)] { return readBoundedFile(path.string(), kMaxAuthFileBytes); };
  auto reading = runBlocking(pool_, std::move(read));
  co_return co_await std::move(reading);
}

boost::asio::awaitable<std::optional<std::string>> ProviderQuotaReader::okBody(HttpRequest request) {
  auto sending = http_.send(std::move(request));
  HttpResult result = co_await std::move(sending);
  if (!result.ok() || result.response->status != 200) co_return std::nullopt;
  co_return std::move(result.response->body);
}

}  // namespace quorvin
