#pragma once

#include "app/Commands.h"

namespace quorvin::app {

// `quorvin pair`, `quorvin disconnect` and `quorvin --headless`: the connection from a
// terminal, through the same composition root as the tray.
void registerConnectionCommands(CLI::App& app, CommandRegistry& registry);

}  // namespace quorvin::app
