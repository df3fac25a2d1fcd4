#include "app/Commands.h"

#include "app/DefaultsCommand.h"
#include "app/LedgerCommand.h"
#include "app/TotalsCommand.h"
#include "app/UsageCommand.h"

namespace quorvin::app {

void registerCommands(CLI::App& app, CommandRegistry& registry) {
  registerDefaultsCommand(app, registry);
  registerUsageCommand(app, registry);
  registerTotalsCommand(app, registry);
  registerLedgerCommand(app, registry);
}

}  // namespace quorvin::app
