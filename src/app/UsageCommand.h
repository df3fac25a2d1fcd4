#pragma once

#include "app/Commands.h"

namespace quorvin::app {

// `quorvin usage [--home DIR] [--interval SECONDS] [--json]`: the live usage oracle over a
// home directory, one snapshot per interval until SIGINT or SIGTERM.
void registerUsageCommand(CLI::App& app, CommandRegistry& registry);

}  // namespace quorvin::app
