#pragma once

#include <filesystem>
#include <string>

#include "core/Time.h"
#include "ledger/LedgerScanner.h"

namespace quorvin::ledger {

// The tokens ledger that the reconciliation reads: lifetime totals, months with their
// models and agents, and per-agent totals, priced with the application's own table.
std::string ledgerJson(const Cells& cells, WallTime generatedAt);

// Replaces `path` with `text` so that a reader, or a crash at any moment, sees either
// the old ledger whole or the new one whole. The file is private to the user (0600).
bool writeAtomically(const std::filesystem::path& path, std::string_view text);

}  // namespace quorvin::ledger
