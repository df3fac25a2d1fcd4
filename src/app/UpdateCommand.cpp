#include "app/UpdateCommand.h"

#include <iostream>
#include <memory>

#include "update/TerminalUpdate.h"

namespace quorvin::app {

void registerUpdateCommand(CLI::App& app, CommandRegistry& registry) {
  auto* command = app.add_subcommand("update", "Update Quorvin from the service's latest verified release");
  auto check = std::make_shared<bool>(false);
  command->add_flag("--check", *check, "Only report whether a newer release exists");
  registry.onRun(command, [check] { return runTerminalUpdate(*check, QUORVIN_VERSION, std::cout, std::cerr); });
}

}  // namespace quorvin::app
