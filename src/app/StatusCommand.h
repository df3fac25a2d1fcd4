#pragma once

#include "app/Commands.h"

namespace quorvin::app {

// `quorvin status [--json|--waybar|--polybar]`: asks the running copy over its peer socket.
// Exit 3 when no copy runs.
void registerStatusCommand(CLI::App& app, CommandRegistry& registry);

}  // namespace quorvin::app
