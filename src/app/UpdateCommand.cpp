#include "app/UpdateCommand.h"

#include <iostream>
#include <memory>

#include "shell/AppServices.h"
#include "update/TerminalUpdate.h"

namespace quorvin::app {

namespace {

int runUpdate(bool checkOnly) {
  auto options = AppServices::Options::fromEnvironment();
  options.watchChanges = false;
  options.automaticUpdates = false;
  AppServices services(std::move(options));
  return runTerminalUpdate(checkOnly,
                           TerminalUpdateParts{services.runtime(), services.clock(), services.http(),
                                               services.browser(), services.updateConfig()},
                           std::cout, std::cerr);
}

}  // namespace

void registerUpdateCommand(CLI::App& app, CommandRegistry& registry) {
  auto* command = app.add_subcommand("update", "Update Quorvin from the service's latest verified release");
  auto check = std::make_shared<bool>(false);
  command->add_flag("--check", *check, "Only report whether a newer release exists");
  registry.onRun(command, [check] { return runUpdate(*check); });
}

}  // namespace quorvin::app
