#pragma once

#include "app/Commands.h"

namespace quorvin::app {

void registerUpdateCommand(CLI::App& app, CommandRegistry& registry);

}  // namespace quorvin::app
