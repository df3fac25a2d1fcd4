#pragma once

#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "core/Time.h"
#include "ledger/LedgerScanner.h"

namespace quorvin::ledger {

// The tokens ledger that the reconciliation reads: lifetime totals, months with their
// models and agents, and per-agent totals, priced with the application's own table.
std::string ledgerJson(const Cells& cells, WallTime generatedAt);

enum class Durability {
  flushed,      // on disk before it replaces the old file: a crash leaves one of the two
  checksummed,  // may be lost to a crash; its reader checks it and recovers
};

// Replaces `path` with `text` (or the pieces, one after another) so that a reader, or a crash at any moment, sees either
// the old ledger whole or the new one whole. The file is private to the user (0600), in a
// folder that is private too (0700).
bool writeAtomically(const std::filesystem::path& path, std::span<const std::string_view> pieces,
                     Durability durability = Durability::flushed);
inline bool writeAtomically(const std::filesystem::path& path, std::string_view text,
                            Durability durability = Durability::flushed) {
  return writeAtomically(path, std::span<const std::string_view>(&text, 1), durability);
}

}  // namespace quorvin::ledger
