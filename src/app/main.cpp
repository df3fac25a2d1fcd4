// `quorvin`: the desktop agent's entry point. `quorvin ledger` runs here, without loading the
// libraries the tray and the service commands need; everything else is in the program module.
#include <CLI/CLI.hpp>
#include <string_view>

#include "app/Commands.h"
#include "app/LedgerCommand.h"
#include "app/ProgramModule.h"

namespace {

int runLedgerAlone(int argc, char** argv) {
  CLI::App app{quorvin::app::kProgramDescription};
  app.require_subcommand(1, 1);
  quorvin::app::CommandRegistry registry;
  quorvin::app::registerLedgerCommand(app, registry);
  CLI11_PARSE(app, argc, argv);
  return registry.run();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::string_view(argv[1]) == "ledger") return runLedgerAlone(argc, argv);
  return quorvin::app::runProgramModule(argc, argv);
}
