#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/storage/Database.h"

namespace quorvin::server {

struct Account {
  int64_t id = 0;
  std::string handle;
};

struct Device {
  int64_t id = 0;
  int64_t accountId = 0;
  std::string handle;
  int64_t createdMs = 0;
  std::optional<int64_t> lastSeenMs;
  std::optional<int64_t> revokedMs;
};

struct PairCode {
  std::string code;
  std::string secretHash;
  int64_t createdMs = 0;
  int64_t expiresMs = 0;
  std::optional<int64_t> accountId;
  std::optional<int64_t> deviceId;
};

// Accounts, their paired devices and the pair codes that create them. Secrets and tokens
// are stored only as SHA-256 hashes; checks compare the hashes in constant time.
class AccountStore {
 public:
  explicit AccountStore(Database& db) : db_(db) {}

  // The new account's secret, shown once; no value when the handle is taken.
  std::optional<std::string> addAccount(const std::string& handle, int64_t nowMs);
  std::optional<Account> account(const std::string& handle);
  std::optional<Account> account(int64_t id);
  // Replaces the account's secret; the new one is returned to be shown once.
  std::string rotateSecret(int64_t accountId);
  // The account when the handle exists and the secret matches.
  std::optional<Account> authenticate(const std::string& handle, const std::string& secret);

  void addPairCode(const PairCode& code);
  std::optional<PairCode> pairCode(const std::string& code);
  // Approves a pending, unexpired code; false when it is not.
  bool approvePairCode(const std::string& code, int64_t accountId, int64_t nowMs, int64_t collectWindowMs);
  // Hands out a device token for an approved code: the first collection creates the device,
  // a later one (the answer was lost) replaces its token. Empty when the device was revoked.
  std::optional<std::string> collectToken(const PairCode& code, int64_t nowMs);
  // Forgets codes that lapsed more than `keepExpiredMs` ago; runs at most once a minute.
  void prunePairCodes(int64_t nowMs);
  // Codes stored, pending or lapsed but not yet forgotten.
  int64_t pairCodeCount();

  // Pairings in progress across the whole service; creation waits beyond it.
  static constexpr int64_t maxPairCodes = 50'000;
  // A lapsed code is still answered "expired" this long, then forgotten.
  static constexpr int64_t keepExpiredMs = 3600 * 1000LL;

  // The device whose token this is; the lookup is by hash and the hash is compared again
  // in constant time.
  std::optional<Device> deviceForToken(const std::string& token);
  std::vector<Device> devices(int64_t accountId);
  bool revokeDevice(int64_t accountId, int64_t deviceId, int64_t nowMs);
  bool hasActiveDevice(int64_t accountId);
  // Records the device's last upload, at most once a minute per device.
  void touchDevice(int64_t deviceId, int64_t nowMs);

 private:
  Database& db_;
  std::unordered_map<int64_t, int64_t> touchedMs_;
  std::optional<int64_t> lastPruneMs_;
  std::optional<int64_t> pairCodeCount_;
};

}  // namespace quorvin::server
