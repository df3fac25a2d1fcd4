#pragma once

#include <string>

#include "ledger/LedgerScanner.h"

namespace quorvin::app {

// Months, then agents, then the total: tokens by counter and list-price dollars.
std::string ledgerText(const ledger::Cells& cells);

// "YYYY-MM-DD" to a day; nothing for anything else.
std::optional<ledger::Day> parseDay(std::string_view text);

}  // namespace quorvin::app
