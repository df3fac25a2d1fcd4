#include "server/storage/OracleStore.h"

#include <cstdlib>

namespace quorvin::server {

std::optional<std::string> OracleStore::boundKey(int64_t accountId) {
  auto q = db_.query("SELECT pubkey FROM oracle_keys WHERE account_id = ?");
  q.bind(1, accountId);
  if (!q.step()) return std::nullopt;
  return q.text(0);
}

std::optional<oracle::Head> OracleStore::head(int64_t accountId, const std::string& handle) {
  auto q = db_.query(
      "SELECT t.seq, t.head, k.pubkey, t.ts, t.cost, t.tokens FROM oracle_ticks t "
      "JOIN oracle_keys k ON k.account_id = t.account_id WHERE t.account_id = ? ORDER BY t.seq DESC LIMIT 1");
  q.bind(1, accountId);
  if (!q.step()) return std::nullopt;
  oracle::Head h;
  h.handle = handle;
  h.seq = q.int64(0);
  h.head = q.text(1);
  h.pubkey = q.text(2);
  h.ts = q.int64(3);
  h.metrics = oracle::Metrics{q.real(4), q.int64(5)};
  return h;
}

OracleStore::AppendOutcome OracleStore::append(int64_t accountId, const oracle::Tick& tick,
                                               const std::string& canonical, const std::string& pubkeyHex,
                                               const std::string& sigHex, int64_t receivedMs,
                                               oracle::Head& result) {
  Transaction tx(db_);
  const auto key = boundKey(accountId);
  if (key && *key != pubkeyHex) return AppendOutcome::keyMismatch;
  const auto current = head(accountId, tick.handle);
  const int64_t expectedSeq = current ? current->seq + 1 : 0;
  const std::string expectedPrev = current ? current->head : "";
  if (tick.seq != expectedSeq || tick.prev != expectedPrev) return AppendOutcome::outOfSequence;
  if (!key) {
    db_.query("INSERT INTO oracle_keys(account_id, pubkey) VALUES(?, ?)").bind(1, accountId).bind(2, pubkeyHex).run();
  }
  result.handle = tick.handle;
  result.seq = tick.seq;
  result.head = oracle::chainHead(expectedPrev, canonical);
  result.pubkey = pubkeyHex;
  result.ts = tick.ts;
  result.metrics = oracle::Metrics{std::strtod(tick.costUsdTotal.c_str(), nullptr), tick.tokensTotal};
  db_.query("INSERT INTO oracle_ticks(account_id, seq, head, tick, sig, ts, cost, tokens, received_ms) "
      "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)")
      .bind(1, accountId)
      .bind(2, tick.seq)
      .bind(3, result.head)
      .bind(4, canonical)
      .bind(5, sigHex)
      .bind(6, tick.ts)
      .bind(7, result.metrics->costUsdTotal)
      .bind(8, tick.tokensTotal)
      .bind(9, receivedMs)
      .run();
  tx.commit();
  return AppendOutcome::appended;
}

void OracleStore::reset(int64_t accountId) {
  Transaction tx(db_);
  db_.query("DELETE FROM oracle_ticks WHERE account_id = ?").bind(1, accountId).run();
  db_.query("DELETE FROM oracle_keys WHERE account_id = ?").bind(1, accountId).run();
  tx.commit();
}

}  // namespace quorvin::server
