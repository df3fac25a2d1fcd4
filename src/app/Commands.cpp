#include "app/Commands.h"

namespace quorvin::app {

void registerCommands(CLI::App& /*app*/, CommandRegistry& /*registry*/) {}

}  // namespace quorvin::app
