#pragma once

#include <boost/asio/awaitable.hpp>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "core/Clock.h"
#include "platform/HttpClient.h"
#include "wire/Crypto.h"
#include "wire/OracleRecords.h"

namespace quorvin {

class OracleError : public std::runtime_error {
 public:
  enum class Kind { requestFailed, invalidHandle, keyMismatch, chainDesynced };
  static OracleError requestFailed(const std::string& message);
  static OracleError invalidHandle();
  static OracleError keyMismatch();
  static OracleError chainDesynced();
  Kind kind() const noexcept { return kind_; }

 private:
  OracleError(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
  Kind kind_;
};

struct CommitResult {
  int64_t seq = 0;
  std::string head;
  bool operator==(const CommitResult&) const = default;
};

// Signs the machine's lifetime totals into the profile's checkpoint chain kept by the
// service. One instance per process; the connection manager runs one commit at a time.
// The state is guarded by a mutex that is never held across a network await.
class OracleClient {
 public:
  OracleClient(HttpClient& http, const Clock& clock, std::filesystem::path dataDir);

  // Throws OracleError, ServiceError (401/410), TransportError and key file errors.
  boost::asio::awaitable<CommitResult> commit(std::string api, std::string token, std::string login, int64_t total,
                                              double cost);

  // The head learned last, for display.
  std::optional<oracle::Head> cachedHead() const;

 private:
  boost::asio::awaitable<std::optional<oracle::Head>> fetchHead(const std::string& api, const std::string& handle);
  boost::asio::awaitable<CommitResult> append(const std::string& api, const std::string& token,
                                              const std::string& handle, int64_t total, double cost,
                                              const crypto::Ed25519Seed& key, const std::string& publicKey);
  crypto::Ed25519Seed loadOrCreateKey();
  void checkKey(const std::string& publicKey) const;

  HttpClient& http_;
  const Clock& clock_;
  std::filesystem::path dataDir_;
  mutable std::mutex mutex_;
  std::optional<oracle::Head> cachedHead_;
  std::optional<crypto::Ed25519Seed> signingKey_;
};

}  // namespace quorvin
