#include "app/Commands.h"

#include "app/DefaultsCommand.h"

namespace quorvin::app {

void registerCommands(CLI::App& app, CommandRegistry& registry) {
  registerDefaultsCommand(app, registry);
}

}  // namespace quorvin::app
