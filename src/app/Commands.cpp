#include "app/Commands.h"

#include "app/UsageCommand.h"

namespace quorvin::app {

void registerCommands(CLI::App& app, CommandRegistry& registry) {
  registerUsageCommand(app, registry);
}

}  // namespace quorvin::app
