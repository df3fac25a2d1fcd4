#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "wire/OracleRecords.h"
#include "server/storage/Database.h"

namespace quorvin::server {

// Each account's checkpoint chain and the public key bound to it by its first checkpoint.
class OracleStore {
 public:
  explicit OracleStore(Database& db) : db_(db) {}

  std::optional<std::string> boundKey(int64_t accountId);
  std::optional<oracle::Head> head(int64_t accountId, const std::string& handle);

  enum class AppendOutcome { appended, keyMismatch, outOfSequence };
  // Checks and appends in one transaction: the key binding, seq = head + 1 and prev = head.
  // On success `result` holds the new head.
  // `receivedMs` is the service's own time of arrival, kept beside the tick's claimed time.
  AppendOutcome append(int64_t accountId, const oracle::Tick& tick, const std::string& canonical,
                       const std::string& pubkeyHex, const std::string& sigHex, int64_t receivedMs,
                       oracle::Head& result);
  // Forgets the account's checkpoints and key binding (an operator's remedy for a lost or
  // stolen key); the next checkpoint starts a new chain.
  void reset(int64_t accountId);

 private:
  Database& db_;
};

}  // namespace quorvin::server
