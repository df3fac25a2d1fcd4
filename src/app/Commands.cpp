#include "app/Commands.h"

#include "app/ConnectionCommands.h"
#include "app/DefaultsCommand.h"
#include "app/LedgerCommand.h"
#include "app/QuotasCommand.h"
#include "app/SavingsCommand.h"
#include "app/StatusCommand.h"
#include "app/TotalsCommand.h"
#include "app/UpdateCommand.h"
#include "app/UsageCommand.h"

namespace quorvin::app {

void registerCommands(CLI::App& app, CommandRegistry& registry) {
  registerDefaultsCommand(app, registry);
  registerUsageCommand(app, registry);
  registerTotalsCommand(app, registry);
  registerLedgerCommand(app, registry);
  registerConnectionCommands(app, registry);
  registerUpdateCommand(app, registry);
  registerQuotasCommand(app, registry);
  registerSavingsCommand(app, registry);
  registerStatusCommand(app, registry);
}

}  // namespace quorvin::app
