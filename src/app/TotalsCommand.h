#pragma once

#include "app/Commands.h"

namespace quorvin::app {

// `quorvin totals [--json]`: the authoritative lifetime totals the reconciliation would
// publish (ccusage or the tokens ledger, plus Cursor), printed once.
void registerTotalsCommand(CLI::App& app, CommandRegistry& registry);

}  // namespace quorvin::app
