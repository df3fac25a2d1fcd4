#include "server/storage/Schema.h"

#include "server/storage/Database.h"

namespace quorvin::server {

void createSchema(Database& db) {
  db.exec(R"sql(
CREATE TABLE IF NOT EXISTS accounts (
  id INTEGER PRIMARY KEY,
  handle TEXT NOT NULL UNIQUE,
  secret_hash TEXT NOT NULL,
  created_ms INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS devices (
  id INTEGER PRIMARY KEY,
  account_id INTEGER NOT NULL REFERENCES accounts(id),
  token_hash TEXT NOT NULL UNIQUE,
  created_ms INTEGER NOT NULL,
  last_seen_ms INTEGER,
  revoked_ms INTEGER
);
CREATE INDEX IF NOT EXISTS devices_by_account ON devices(account_id);
CREATE TABLE IF NOT EXISTS pair_codes (
  code TEXT PRIMARY KEY,
  secret_hash TEXT NOT NULL,
  created_ms INTEGER NOT NULL,
  expires_ms INTEGER NOT NULL,
  account_id INTEGER REFERENCES accounts(id),
  device_id INTEGER REFERENCES devices(id)
);
CREATE INDEX IF NOT EXISTS pair_codes_by_expiry ON pair_codes(expires_ms);
CREATE TABLE IF NOT EXISTS publisher_totals (
  account_id INTEGER NOT NULL REFERENCES accounts(id),
  publisher_id TEXT NOT NULL,
  device_id INTEGER,
  total INTEGER NOT NULL,
  cost REAL NOT NULL,
  input INTEGER,
  output INTEGER,
  cache_read INTEGER,
  cache_write INTEGER,
  detail TEXT NOT NULL,
  updated_ms INTEGER NOT NULL,
  PRIMARY KEY (account_id, publisher_id)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS usage_samples (
  account_id INTEGER NOT NULL,
  at_ms INTEGER NOT NULL,
  total INTEGER NOT NULL,
  cost REAL NOT NULL,
  input INTEGER NOT NULL,
  output INTEGER NOT NULL,
  cache_read INTEGER NOT NULL,
  cache_write INTEGER NOT NULL,
  kinds INTEGER NOT NULL,
  PRIMARY KEY (account_id, at_ms)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS account_flow (
  account_id INTEGER PRIMARY KEY REFERENCES accounts(id),
  total INTEGER NOT NULL,
  cost REAL NOT NULL,
  input INTEGER NOT NULL,
  output INTEGER NOT NULL,
  cache_read INTEGER NOT NULL,
  cache_write INTEGER NOT NULL,
  kinds INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS publisher_models (
  account_id INTEGER NOT NULL,
  publisher_id TEXT NOT NULL,
  name TEXT NOT NULL,
  tokens INTEGER NOT NULL,
  cost REAL NOT NULL,
  PRIMARY KEY (account_id, publisher_id, name)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS oracle_keys (
  account_id INTEGER PRIMARY KEY REFERENCES accounts(id),
  pubkey TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS oracle_ticks (
  account_id INTEGER NOT NULL REFERENCES accounts(id),
  seq INTEGER NOT NULL,
  head TEXT NOT NULL,
  tick TEXT NOT NULL,
  sig TEXT NOT NULL,
  ts INTEGER NOT NULL,
  cost REAL NOT NULL,
  tokens INTEGER NOT NULL,
  received_ms INTEGER,
  PRIMARY KEY (account_id, seq)
) WITHOUT ROWID;
)sql");
  // Databases made before the service recorded when each checkpoint arrived.
  bool hasReceived = false;
  {
    auto q = db.query("SELECT 1 FROM pragma_table_info('oracle_ticks') WHERE name = 'received_ms'");
    hasReceived = q.step();
  }
  if (!hasReceived) db.exec("ALTER TABLE oracle_ticks ADD COLUMN received_ms INTEGER");
}

}  // namespace quorvin::server
