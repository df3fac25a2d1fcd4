#include "server/storage/AccountStore.h"

#include "wire/Crypto.h"


namespace quorvin::server {

namespace {

std::string hashOf(const std::string& secret) { return crypto::sha256Hex(secret); }

}  // namespace

std::optional<std::string> AccountStore::addAccount(const std::string& handle, int64_t nowMs) {
  if (account(handle)) return std::nullopt;
  std::string secret = crypto::randomHex(24);
  db_.query("INSERT INTO accounts(handle, secret_hash, created_ms) VALUES(?, ?, ?)")
      .bind(1, handle)
      .bind(2, hashOf(secret))
      .bind(3, nowMs)
      .run();
  return secret;
}

std::optional<Account> AccountStore::account(const std::string& handle) {
  auto s = db_.query("SELECT id, handle FROM accounts WHERE handle = ?");
  s.bind(1, handle);
  if (!s.step()) return std::nullopt;
  return Account{s.int64(0), s.text(1)};
}

std::optional<Account> AccountStore::account(int64_t id) {
  auto s = db_.query("SELECT id, handle FROM accounts WHERE id = ?");
  s.bind(1, id);
  if (!s.step()) return std::nullopt;
  return Account{s.int64(0), s.text(1)};
}

std::optional<Account> AccountStore::authenticate(const std::string& handle, const std::string& secret) {
  auto s = db_.query("SELECT id, handle, secret_hash FROM accounts WHERE handle = ?");
  s.bind(1, handle);
  if (!s.step()) {
    // Spend the same hashing work for an unknown handle as for a known one.
    (void)crypto::constantTimeEqual(hashOf(secret), std::string(64, '0'));
    return std::nullopt;
  }
  if (!crypto::constantTimeEqual(hashOf(secret), s.text(2))) return std::nullopt;
  return Account{s.int64(0), s.text(1)};
}

void AccountStore::addPairCode(const PairCode& code) {
  db_.query(
         "INSERT INTO pair_codes(code, secret_hash, created_ms, expires_ms, account_id) VALUES(?, ?, ?, ?, ?)")
      .bind(1, code.code)
      .bind(2, code.secretHash)
      .bind(3, code.createdMs)
      .bind(4, code.expiresMs)
      .bind(5, code.accountId)
      .run();
  if (pairCodeCount_) ++*pairCodeCount_;
}

std::optional<PairCode> AccountStore::pairCode(const std::string& code) {
  auto s = db_.query(
      "SELECT code, secret_hash, created_ms, expires_ms, account_id, device_id FROM pair_codes WHERE code = ?");
  s.bind(1, code);
  if (!s.step()) return std::nullopt;
  return PairCode{s.text(0), s.text(1), s.int64(2), s.int64(3), s.optionalInt64(4), s.optionalInt64(5)};
}

bool AccountStore::approvePairCode(const std::string& code, int64_t accountId, int64_t nowMs,
                                   int64_t collectWindowMs) {
  db_.query(
         "UPDATE pair_codes SET account_id = ?, expires_ms = ? "
         "WHERE code = ? AND account_id IS NULL AND expires_ms > ?")
      .bind(1, accountId)
      .bind(2, nowMs + collectWindowMs)
      .bind(3, code)
      .bind(4, nowMs)
      .run();
  return db_.changes() == 1;
}

std::optional<std::string> AccountStore::collectToken(const PairCode& code, int64_t nowMs) {
  if (!code.accountId) return std::nullopt;
  std::string token = crypto::randomHex(32);
  Transaction tx(db_);
  if (code.deviceId) {
    db_.query("UPDATE devices SET token_hash = ? WHERE id = ? AND revoked_ms IS NULL")
        .bind(1, hashOf(token))
        .bind(2, *code.deviceId)
        .run();
    if (db_.changes() != 1) return std::nullopt;
  } else {
    db_.query("INSERT INTO devices(account_id, token_hash, created_ms) VALUES(?, ?, ?)")
        .bind(1, *code.accountId)
        .bind(2, hashOf(token))
        .bind(3, nowMs)
        .run();
    const int64_t deviceId = db_.lastInsertId();
    db_.query("UPDATE pair_codes SET device_id = ? WHERE code = ?").bind(1, deviceId).bind(2, code.code).run();
  }
  tx.commit();
  return token;
}

void AccountStore::prunePairCodes(int64_t nowMs) {
  if (lastPruneMs_ && nowMs - *lastPruneMs_ < 60'000) return;
  lastPruneMs_ = nowMs;
  // By the expiry index: the cost is the codes deleted, not the codes kept.
  db_.query("DELETE FROM pair_codes WHERE expires_ms < ?").bind(1, nowMs - keepExpiredMs).run();
  pairCodeCount_.reset();
}

int64_t AccountStore::pairCodeCount() {
  if (!pairCodeCount_) {
    auto q = db_.query("SELECT COUNT(*) FROM pair_codes");
    pairCodeCount_ = q.step() ? q.int64(0) : 0;
  }
  return *pairCodeCount_;
}

std::string AccountStore::rotateSecret(int64_t accountId) {
  std::string secret = crypto::randomHex(24);
  db_.query("UPDATE accounts SET secret_hash = ? WHERE id = ?").bind(1, hashOf(secret)).bind(2, accountId).run();
  return secret;
}

std::optional<Device> AccountStore::deviceForToken(const std::string& token) {
  const std::string hash = hashOf(token);
  auto s = db_.query(
      "SELECT d.id, d.account_id, a.handle, d.created_ms, d.last_seen_ms, d.revoked_ms, d.token_hash "
      "FROM devices d JOIN accounts a ON a.id = d.account_id WHERE d.token_hash = ?");
  s.bind(1, hash);
  if (!s.step() || !crypto::constantTimeEqual(hash, s.text(6))) return std::nullopt;
  return Device{s.int64(0), s.int64(1), s.text(2), s.int64(3), s.optionalInt64(4), s.optionalInt64(5)};
}

std::vector<Device> AccountStore::devices(int64_t accountId) {
  auto s = db_.query(
      "SELECT d.id, d.account_id, a.handle, d.created_ms, d.last_seen_ms, d.revoked_ms "
      "FROM devices d JOIN accounts a ON a.id = d.account_id WHERE d.account_id = ? ORDER BY d.id");
  s.bind(1, accountId);
  std::vector<Device> out;
  while (s.step()) {
    out.push_back(Device{s.int64(0), s.int64(1), s.text(2), s.int64(3), s.optionalInt64(4), s.optionalInt64(5)});
  }
  return out;
}

bool AccountStore::revokeDevice(int64_t accountId, int64_t deviceId, int64_t nowMs) {
  db_.query("UPDATE devices SET revoked_ms = ? WHERE id = ? AND account_id = ? AND revoked_ms IS NULL")
      .bind(1, nowMs)
      .bind(2, deviceId)
      .bind(3, accountId)
      .run();
  return db_.changes() == 1;
}

bool AccountStore::hasActiveDevice(int64_t accountId) {
  auto s = db_.query("SELECT 1 FROM devices WHERE account_id = ? AND revoked_ms IS NULL LIMIT 1");
  s.bind(1, accountId);
  return s.step();
}

void AccountStore::touchDevice(int64_t deviceId, int64_t nowMs) {
  auto& touched = touchedMs_[deviceId];
  if (touched != 0 && nowMs - touched < 60'000) return;
  touched = nowMs;
  db_.query("UPDATE devices SET last_seen_ms = ? WHERE id = ?").bind(1, nowMs).bind(2, deviceId).run();
}

}  // namespace quorvin::server
