#include "publishing/OracleClient.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <limits>

#include "publishing/OracleKeyFile.h"
#include "publishing/ServiceError.h"

namespace quorvin {

OracleError OracleError::requestFailed(const std::string& message) {
  return OracleError(Kind::requestFailed, "Oracle checkpoint failed: " + message);
}
OracleError OracleError::invalidHandle() { return OracleError(Kind::invalidHandle, "Invalid Quorvin handle"); }
OracleError OracleError::keyMismatch() {
  return OracleError(Kind::keyMismatch, "This profile's oracle is signed by another device");
}
OracleError OracleError::chainDesynced() {
  return OracleError(Kind::chainDesynced, "Oracle chain changed while committing");
}

namespace {

constexpr std::chrono::milliseconds oracleTimeout{5'000};

}  // namespace

OracleClient::OracleClient(HttpClient& http, const Clock& clock, std::filesystem::path dataDir)
    : http_(http), clock_(clock), dataDir_(std::move(dataDir)) {}

std::optional<oracle::Head> OracleClient::cachedHead() const {
  std::lock_guard lock(mutex_);
  return cachedHead_;
}

crypto::Ed25519Seed OracleClient::loadOrCreateKey() {
  std::lock_guard lock(mutex_);
  if (!signingKey_) signingKey_ = loadOrCreateOracleKey(dataDir_);
  return *signingKey_;
}

void OracleClient::checkKey(const std::string& publicKey) const {
  std::lock_guard lock(mutex_);
  if (cachedHead_ && cachedHead_->pubkey != publicKey) throw OracleError::keyMismatch();
}

boost::asio::awaitable<CommitResult> OracleClient::commit(std::string api, std::string token, std::string login,
                                                          int64_t total, double cost) {
  std::string handle = login;
  std::transform(handle.begin(), handle.end(), handle.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (!oracle::isValidHandle(handle)) throw OracleError::invalidHandle();

  const auto key = loadOrCreateKey();
  const auto pub = crypto::ed25519PublicKey(key);
  if (!pub) throw OracleError::requestFailed("the signing key is unusable");
  const std::string publicKey = crypto::hex(*pub);

  bool haveHead = false;
  {
    std::lock_guard lock(mutex_);
    haveHead = cachedHead_.has_value();
  }
  if (!haveHead) {
    auto fetched = co_await fetchHead(api, handle);
    std::lock_guard lock(mutex_);
    cachedHead_ = std::move(fetched);
  }
  checkKey(publicKey);

  bool desynced = false;
  try {
    co_return co_await append(api, token, handle, total, cost, key, publicKey);
  } catch (const OracleError& e) {
    if (e.kind() != OracleError::Kind::chainDesynced) throw;
    desynced = true;
  }
  // One recovery: learn where the chain really is and try once more.
  if (desynced) {
    auto fetched = co_await fetchHead(api, handle);
    {
      std::lock_guard lock(mutex_);
      cachedHead_ = std::move(fetched);
    }
    checkKey(publicKey);
  }
  co_return co_await append(api, token, handle, total, cost, key, publicKey);
}

boost::asio::awaitable<std::optional<oracle::Head>> OracleClient::fetchHead(const std::string& api,
                                                                           const std::string& handle) {
  HttpRequest request;
  request.url = api + "/api/oracle/" + handle;
  request.timeout = oracleTimeout;
  HttpResult result = co_await http_.send(std::move(request));
  if (!result.ok()) throw TransportError(result.failure.value_or(HttpFailure{}));
  const long status = result.response->status;
  if (status < 200 || status > 299) throw OracleError::requestFailed("HTTP " + std::to_string(status));
  auto decoded = oracle::decodeHeadResponse(result.response->body);
  if (!decoded) throw DecodeError("The oracle head answer could not be read.");
  co_return decoded->head;
}

boost::asio::awaitable<CommitResult> OracleClient::append(const std::string& api, const std::string& token,
                                                          const std::string& handle, int64_t total, double cost,
                                                          const crypto::Ed25519Seed& key,
                                                          const std::string& publicKey) {
  oracle::Tick tick;
  tick.handle = handle;
  {
    std::lock_guard lock(mutex_);
    // A head claiming the last position has no successor: adding one would overflow.
    if (cachedHead_ && cachedHead_->seq == std::numeric_limits<int64_t>::max()) {
      throw OracleError::requestFailed("the checkpoint chain has no position left");
    }
    tick.seq = cachedHead_ ? cachedHead_->seq + 1 : 0;
    tick.prev = cachedHead_ ? cachedHead_->head : "";
  }
  tick.ts = std::chrono::duration_cast<std::chrono::milliseconds>(clock_.now().time_since_epoch()).count();
  // A cost the service could never accept (negative, not finite) is published as 0.
  tick.costUsdTotal = oracle::canonicalCost(cost).value_or("0");
  tick.tokensTotal = total;

  const std::string canonical = oracle::canonicalBytes(tick);
  const auto signature = crypto::ed25519Sign(key, canonical);
  if (!signature) throw OracleError::requestFailed("signing failed");

  HttpRequest request;
  request.method = "POST";
  request.url = api + "/api/oracle/commit";
  request.headers.emplace_back("Authorization", "Bearer " + token);
  request.headers.emplace_back("Content-Type", "application/json");
  request.body = oracle::commitBody(tick, publicKey, crypto::hex(*signature));
  request.timeout = oracleTimeout;
  HttpResult result = co_await http_.send(std::move(request));
  if (!result.ok()) throw TransportError(result.failure.value_or(HttpFailure{}));

  const long status = result.response->status;
  auto response = oracle::decodeCommitmentResponse(result.response->body);
  if (status == 401 || status == 410) throw ServiceError::httpStatus(status);
  if (status == 422) throw OracleError::chainDesynced();
  const std::string statusText = "HTTP " + std::to_string(status);
  if (!response) throw OracleError::requestFailed(statusText);
  if (status < 200 || status > 299 || !response->ok || !response->commitment) {
    throw OracleError::requestFailed(response->error.value_or(statusText));
  }
  {
    std::lock_guard lock(mutex_);
    cachedHead_ = response->commitment;
  }
  co_return CommitResult{response->commitment->seq, response->commitment->head};
}

}  // namespace quorvin
