#pragma once

#include "app/Commands.h"

namespace quorvin::app {

// `quorvin quotas [--json]`: the Codex and Grok Build plan windows, read once.
void registerQuotasCommand(CLI::App& app, CommandRegistry& registry);

}  // namespace quorvin::app
