#include "app/Commands.h"

#include "app/DefaultsCommand.h"
#include "app/UsageCommand.h"

namespace quorvin::app {

void registerCommands(CLI::App& app, CommandRegistry& registry) {
  registerDefaultsCommand(app, registry);
  registerUsageCommand(app, registry);
}

}  // namespace quorvin::app
