// Every command but `quorvin ledger`, and the tray application: the program module's entry,
// called by the executable (main.cpp) with its own arguments.
#include <CLI/CLI.hpp>

#include "app/Commands.h"
#include "app/DesktopCommand.h"
#include "app/ProgramModule.h"
#include "platform/SystemClock.h"
#include "shell/AppServices.h"
#include "update/UpdateLaunchHandshake.h"

extern "C" __attribute__((visibility("default"))) int quorvin_program_main(int argc, char** argv) {
  // A copy started by an update proves it came up before anything else can fail.
  quorvin::SystemClock clock;
  quorvin::UpdateLaunchHandshake::completeAtStartup(quorvin::AppServices::Options::fromEnvironment().paths,
                                                    QUORVIN_VERSION, clock.now());
  CLI::App app{quorvin::app::kProgramDescription};
  app.require_subcommand(0, 1);
  app.set_version_flag("--version", std::string("quorvin ") + QUORVIN_VERSION);
  quorvin::app::CommandRegistry registry;
  quorvin::app::registerCommands(app, registry);
  // No subcommand and no --headless: the tray application.
  registry.onRunWithoutCommand([&argc, argv] { return quorvin::app::runDesktop(argc, argv); });
  CLI11_PARSE(app, argc, argv);
  return registry.run();
}
