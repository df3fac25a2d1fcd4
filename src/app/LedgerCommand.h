#pragma once

#include "app/Commands.h"

namespace quorvin::app {

void registerLedgerCommand(CLI::App& app, CommandRegistry& registry);

}  // namespace quorvin::app
