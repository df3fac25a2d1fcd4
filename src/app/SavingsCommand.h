#pragma once

#include "app/Commands.h"

namespace quorvin::app {

// `quorvin savings [--json]`: RTK's savings report and the projected value of savings.
// `quorvin savings enable|disable`: adds or removes RTK's integrations for the coding tools
// of this machine (installing RTK through Homebrew first when needed).
void registerSavingsCommand(CLI::App& app, CommandRegistry& registry);

}  // namespace quorvin::app
