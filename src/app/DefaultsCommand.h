#pragma once

#include "app/Commands.h"

namespace quorvin::app {

// `quorvin defaults read [KEY] | write KEY VALUE [--string|--bool|--int|--float] | delete KEY`
void registerDefaultsCommand(CLI::App& app, CommandRegistry& registry);

}  // namespace quorvin::app
